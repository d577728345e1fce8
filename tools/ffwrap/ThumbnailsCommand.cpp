#include "ThumbnailsCommand.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "PngWriter.h"
#include "facade/Thumbnails.h"

namespace Quillet::Tools {

namespace {

int Usage()
{
    std::cerr << "usage: ffwrap thumbnails FILE N OUT_PREFIX [--size WxH] [--exact]\n"
                 "       --size WxH: fit inside W x H (one side 0 follows the other); default the coded size\n"
                 "       --exact: the picture a seek shows at each time, not the key picture before it\n";
    return 2;
}

} // namespace

int ThumbnailsCommand(int argc, char** argv)
{
    using namespace Quillet::FFWrapperCLI;
    if (argc < 3)
        return Usage();
    const std::string file = argv[0], prefix = argv[2];
    ThumbnailRequest request;
    request.pixelFormat = PixelFormat::RGB24;
    try {
        request.count = std::stoi(argv[1]);
    } catch (const std::exception&) {
        return Usage();
    }
    if (request.count <= 0 || request.count > 100000)
        return Usage();
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--exact") {
            request.exact = true;
        } else if (arg == "--size" && i + 1 < argc) {
            char x = 0;
            if (std::sscanf(argv[++i], "%d%c%d", &request.width, &x, &request.height) != 3 || x != 'x' ||
                request.width < 0 || request.height < 0)
                return Usage();
        } else {
            return Usage();
        }
    }
    int written = 0, failed = 0;
    std::string failure;
    const bool opened = ExtractThumbnails(
        file, request,
        [&](Thumbnail& t) {
            char name[32];
            std::snprintf(name, sizeof name, "%03d.png", t.index + 1);
            const std::string path = prefix + name;
            if (!t.error.empty()) {
                ++failed;
                std::cout << path << ": at " << t.requested << " s: " << t.error << "\n";
                return;
            }
            try {
                WritePng(path, t.picture.frame.data(), t.picture.width, t.picture.height);
                ++written;
                std::cout << path << ": " << t.picture.width << "x" << t.picture.height << " at "
                          << t.picture.frameTime << " s (asked " << t.requested << " s)\n";
            } catch (const std::exception& e) {
                ++failed;
                std::cout << path << ": " << e.what() << "\n";
            }
        },
        &failure);
    if (!opened) {
        std::cerr << file << ": " << failure << "\n";
        return 2;
    }
    return failed == 0 && written == request.count ? 0 : 1;
}

} // namespace Quillet::Tools
