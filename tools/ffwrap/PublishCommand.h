#pragma once
// `ffwrap publish <source> <url> [<url>...] [--seconds S]`: publishes a file
// or camera to every URL at once by stream copy and prints one status line
// per output every second, until the source ends, --seconds have passed or
// the process is interrupted.
namespace Quillet::Tools {

// `argc`/`argv` are the arguments after "publish"; the exit status for the tool.
int PublishCommand(int argc, char** argv);

} // namespace Quillet::Tools
