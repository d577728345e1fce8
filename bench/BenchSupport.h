#pragma once
// What the side-by-side benchmarks share: timing and the generated clip.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace Quillet::Bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// The clip named on the command line, or `name` generated once with
// `ffmpeg <ffmpegArgs> name` in the working directory.
inline std::string ClipFromArgs(int argc, char** argv, const std::string& name, const std::string& ffmpegArgs)
{
    if (argc > 1)
        return argv[1];
    if (!std::filesystem::exists(name)) {
        const std::string cmd = "ffmpeg -nostdin -v error -y " + ffmpegArgs + " " + name;
        if (std::system(cmd.c_str()) != 0)
            throw std::runtime_error("cannot generate " + name);
    }
    return name;
}

} // namespace Quillet::Bench
