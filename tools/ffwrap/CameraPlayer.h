#pragma once
// Players for live cameras: the camera's connection settings reach the
// source through the facade that takes them; and the decoding threads each
// kind of source gets. Called on the tool's main thread.
#include <memory>
#include <optional>
#include <string>

#include "facade/FFWrapper.h"

namespace Quillet::Tools {

struct CameraOptions {
    bool tcp = false;
    std::string user;
    std::string password;
};

// A plain player unless camera settings were given; then the serving facade
// (a player too) carries them to the camera.
std::unique_ptr<FFWrapperCLI::FFWrapper> MakePlayer(const std::string& log, const CameraOptions& camera);

// A --threads value: 0 (automatic: every core) to 64; nothing otherwise.
std::optional<int> ParseThreads(const std::string& text);

// The decoding threads to ask the facade for, before it opens `source`: the
// user's --threads, else automatic for files and streams, as a user of a
// command-line tool expects; nothing for a camera (rtsp://), which keeps the
// facade's own default so that no picture is held back.
std::optional<int> DecodingThreadsFor(const std::string& source, std::optional<int> requested);

// Applies DecodingThreadsFor to a player facade.
void UseDecodingThreads(FFWrapperCLI::FFWrapper& player, const std::string& source, std::optional<int> requested);

} // namespace Quillet::Tools
