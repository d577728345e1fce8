#include "facade/Version.h"

#include <libyuv/version.h>
#include <log4cpp/config.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

// The build passes the version and build facts in (src/CMakeLists.txt).
#ifndef QUILLET_VERSION_MAJOR
#error "QUILLET_VERSION_MAJOR must come from the build"
#endif

#define QUILLET_STRINGIFY2(x) #x
#define QUILLET_STRINGIFY(x) QUILLET_STRINGIFY2(x)

namespace Quillet::FFWrapperCLI {
namespace {

std::string VersionText(unsigned major, unsigned minor, unsigned micro)
{
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(micro);
}

std::string VersionText(unsigned packed)
{
    return VersionText(AV_VERSION_MAJOR(packed), AV_VERSION_MINOR(packed), AV_VERSION_MICRO(packed));
}

} // namespace

std::string LibraryVersion()
{
    return VersionText(QUILLET_VERSION_MAJOR, QUILLET_VERSION_MINOR, QUILLET_VERSION_PATCH);
}

BuildInfo GetBuildInfo()
{
    BuildInfo info;
    info.version = LibraryVersion();
    info.versionMajor = QUILLET_VERSION_MAJOR;
    info.versionMinor = QUILLET_VERSION_MINOR;
    info.versionPatch = QUILLET_VERSION_PATCH;
    info.compiler = QUILLET_COMPILER;
    info.buildType = QUILLET_BUILD_TYPE;
    info.ffmpeg = av_version_info();
    info.ffmpegLibraries = {
        {"libavformat", VersionText(LIBAVFORMAT_VERSION_INT), VersionText(avformat_version())},
        {"libavcodec", VersionText(LIBAVCODEC_VERSION_INT), VersionText(avcodec_version())},
        {"libavutil", VersionText(LIBAVUTIL_VERSION_INT), VersionText(avutil_version())},
        {"libswscale", VersionText(LIBSWSCALE_VERSION_INT), VersionText(swscale_version())},
        {"libswresample", VersionText(LIBSWRESAMPLE_VERSION_INT), VersionText(swresample_version())},
    };
    info.log4cpp = LOG4CPP_VERSION;
    info.libyuv = QUILLET_STRINGIFY(LIBYUV_VERSION);
    return info;
}

std::string DescribeBuild()
{
    const BuildInfo info = GetBuildInfo();
    std::string text = "quillet " + info.version + "\n";
    text += "compiler " + info.compiler + " (" + info.buildType + ")\n";
    text += "FFmpeg " + info.ffmpeg + "\n";
    for (const LinkedLibrary& library : info.ffmpegLibraries)
        text += library.name + " " + library.running + " (built with " + library.builtWith + ")\n";
    text += "log4cpp " + info.log4cpp + "\n";
    text += "libyuv " + info.libyuv + "\n";
    return text;
}

} // namespace Quillet::FFWrapperCLI
