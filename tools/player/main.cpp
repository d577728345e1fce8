// quillet-player: the reference desktop player on the library's player facade.
//
//   quillet-player [--no-audio] [--trace] [--snapshot-dir DIR] <file | URL | rtsp://camera>
//
// Keys: space pause/continue, left/right seek -/+5 s, s snapshot (PNG), q quit.
// The window title is the status line: time / duration, paused, a pending
// seek and the last event from the library.
#include <iostream>
#include <string>
#include <vector>

#include <SDL.h>

#include "Player.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

void Usage()
{
    std::cerr << "usage: quillet-player [--no-audio] [--trace] [--snapshot-dir DIR] <file | URL | rtsp://camera>\n"
                 "keys:  space pause/continue, left/right seek -/+5 s, s snapshot, q quit\n";
}

bool Parse(int argc, char** argv, Quillet::Player::PlayerOptions& o)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--no-audio")
            o.audio = false;
        else if (args[i] == "--trace")
            o.trace = true;
        else if (args[i] == "--snapshot-dir" && i + 1 < args.size())
            o.snapshotDir = args[++i];
        else if (args[i].rfind("--", 0) == 0 || !o.source.empty())
            return false;
        else
            o.source = args[i];
    }
    return !o.source.empty();
}

} // namespace

int main(int argc, char** argv)
{
    Quillet::Player::PlayerOptions options;
    if (!Parse(argc, argv, options)) {
        Usage();
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_AUDIO | SDL_INIT_EVENTS) != 0) {
        // Without a sound card SDL may still give video alone.
        if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) {
            std::cerr << "Cannot initialise SDL: " << SDL_GetError() << "\n";
            return 1;
        }
        options.audio = false;
    }
    int code = 1;
    try {
        Quillet::Player::Player player(options);
        code = player.Run();
    } catch (const std::exception& e) {
        std::cerr << "quillet-player: " << e.what() << "\n";
    }
    SDL_Quit();
    return code;
}
