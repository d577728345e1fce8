#pragma once
// Positions a demuxer for a frame-exact seek. Demuxers asked for a time may
// stand on a packet after the key picture the target needs (transport streams
// search by timestamp, indexes hold decode times), and the decoder would then
// wait a whole group of pictures. The landing steps back until the next video
// packet is a key picture shown at or before the target, so that decoding
// forward reaches the first picture at or after it.
//
// Threads: called on the source's read thread with the demuxer lock held; it
// keeps no state of its own.
#include <vector>

#include "core/FFAVPtr.h"

struct AVFormatContext;

namespace Quillet {

// Seeks so that decoding forward from the next packet reaches the first
// picture at or after `seconds`, a time on the clock of the stream's own
// timestamps (the pictures' frame times; a container's start time is already
// part of it). `lead` gets the packets read while checking the landing, in
// file order: they belong to the new position and must be delivered first.
// Returns the demuxer's error, or 0. `videoIndex` is -1 without video.
int SeekForPictures(AVFormatContext* context, int videoIndex, double seconds, std::vector<AVPacketPtr>& lead);

} // namespace Quillet
