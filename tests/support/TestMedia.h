#pragma once
// Test media made on the spot by the ffmpeg tool, and a demuxer to read it.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/FFAVPtr.h"

namespace Quillet::Testing {

// The command-line tool, built beside the tests' working folder (build/tests/work).
inline const std::string kFfwrap = "../../tools/ffwrap/ffwrap";

// Runs a shell command; returns its exit status.
int Run(const std::string& command);
// Runs a command and returns its standard output.
std::string Capture(const std::string& command);

// Makes `name` in the working directory unless it already exists: `make`
// writes a temporary file of the given name, linked into place when done,
// so that tests in parallel processes and interrupted runs leave no half
// file, and the first process to finish makes the file everyone reads.
// Fails the calling test when `make` leaves nothing; returns the name.
std::string MakeFile(const std::string& name, const std::function<void(const std::string&)>& make);

// Generates `name` in the working directory with `ffmpeg -v error -y <args> name`
// unless it already exists; returns the name. Fails the calling test on error.
std::string MakeClip(const std::string& name, const std::string& ffmpegArgs);

// An empty folder of one test's own, "<stem>_<process id>" in the working
// directory (tests of one binary may run in several processes); its path.
std::string FreshFolder(const std::string& stem);

// The names and sizes of the files in `folder`, for a failure message.
std::string FolderListing(const std::string& folder);

// This process's resident memory. AddressSanitizer holds freed memory back in
// quarantine: there it tells nothing of leaks.
long ResidentKilobytes();
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentSizeTellsLeaks = false;
#else
constexpr bool kResidentSizeTellsLeaks = true;
#endif

// The whole content of a file (empty when it cannot be read).
std::vector<uint8_t> ReadBytes(const std::string& path);

// An opened input with its stream info read.
AVInputContextPtr OpenInput(const std::string& path);

} // namespace Quillet::Testing
