#pragma once
// Run-time query of the library's version and of what it was built with.
// Public header: standard library only. Safe from any thread; no locks.
#include <string>
#include <vector>

#include "../Export.h"

namespace Quillet::FFWrapperCLI {

/// One FFmpeg library Quillet links against. A plain value, safe to copy to any thread.
struct QUILLET_EXPORT LinkedLibrary {
    /// The library's name, e.g. "libavcodec".
    std::string name;
    /// Version of the headers Quillet was compiled against, "major.minor.micro".
    std::string builtWith;
    /// Version of the library loaded into the process now, "major.minor.micro". Its major number
    /// equals that of builtWith whenever the loaded libraries are ABI-compatible.
    std::string running;
};

/// What the loaded Quillet library is and what it was built with. A plain value, safe to copy to
/// any thread.
struct QUILLET_EXPORT BuildInfo {
    /// Quillet's version, "major.minor.patch" (LibraryVersion()).
    std::string version;
    /// Quillet's major version number.
    int versionMajor = 0;
    /// Quillet's minor version number.
    int versionMinor = 0;
    /// Quillet's patch number.
    int versionPatch = 0;
    /// The compiler that built the library, e.g. "GNU 12.2.0".
    std::string compiler;
    /// The CMake build type, e.g. "RelWithDebInfo".
    std::string buildType;
    /// The FFmpeg release of the loaded libraries, e.g. "5.1.6-0+deb12u1".
    std::string ffmpeg;
    /// libavformat, libavcodec, libavutil, libswscale and libswresample, in that order.
    std::vector<LinkedLibrary> ffmpegLibraries;
    /// The log4cpp version compiled against.
    std::string log4cpp;
    /// The libyuv version number compiled against.
    std::string libyuv;
};

/// Quillet's version, "major.minor.patch", e.g. "0.2.0". Safe from any thread.
QUILLET_EXPORT std::string LibraryVersion();

/// The version and build facts of the loaded library. Safe from any thread.
QUILLET_EXPORT BuildInfo GetBuildInfo();

/// GetBuildInfo() as text, one fact per line ("quillet 0.2.0", "libavcodec 59.37.100 (built with
/// 59.37.100)", ...), for an application's about box or bug reports. Safe from any thread.
QUILLET_EXPORT std::string DescribeBuild();

} // namespace Quillet::FFWrapperCLI
