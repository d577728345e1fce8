#pragma once
// `ffwrap thumbnails FILE N OUT_PREFIX [--size WxH] [--exact]`: writes N
// pictures spread evenly over FILE as OUT_PREFIX001.png, OUT_PREFIX002.png,
// ...: key pictures by default (the fastest), or with --exact the pictures a
// seek to each time shows. Prints one line per picture (its time, or why
// there is none).
namespace Quillet::Tools {

// `argc`/`argv` are the arguments after "thumbnails"; the exit status for the
// tool (0 when every picture was written, 1 when some were not, 2 for bad
// arguments or a source that cannot be opened).
int ThumbnailsCommand(int argc, char** argv);

} // namespace Quillet::Tools
