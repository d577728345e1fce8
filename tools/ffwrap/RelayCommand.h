#pragma once
// `ffwrap relay [source] [--threads N]`: serves a source as client batches,
// carries every batch over a TCP connection on 127.0.0.1 (length-prefixed
// frames) to a receiving thread that plays it through a remote player
// (decoding on N threads; automatic for files, one for a camera), and
// reports what was sent and what arrived.
namespace Quillet::Tools {

// `args` are the words after "relay". Returns the process exit status.
int RelayCommand(int argc, char** argv);

} // namespace Quillet::Tools
