#pragma once
// Players for live cameras: the camera's connection settings reach the
// source through the facade that takes them.
#include <memory>
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

} // namespace Quillet::Tools
