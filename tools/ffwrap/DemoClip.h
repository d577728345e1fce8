#pragma once
// The built-in demo clip: a few seconds of a moving test picture with a tone,
// encoded in-process (H.264 with B-frames when libx264 is there, MPEG-4 Part 2
// otherwise, AAC audio) into an MP4 file, so the tool needs no media to start.
#include <string>

namespace Quillet::Tools {

// Writes the clip to `path` (overwriting it); throws std::runtime_error on failure.
void WriteDemoClip(const std::string& path, double seconds = 4.0, int width = 320, int height = 240);

} // namespace Quillet::Tools
