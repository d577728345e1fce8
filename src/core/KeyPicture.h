#pragma once
// The one rule for "is this a key picture", used wherever a packet may start
// something: decoding after a backlog is dropped, a seek's landing, the
// traffic band, a recording, a publish, a client's first picture. A packet
// counts when it is flagged key and is neither corrupt nor marked to be
// discarded: decoding cannot safely restart at a damaged picture, and a
// discarded one is never shown. A disposable key picture still counts (no
// later picture refers to it, but it decodes on its own). Pure functions, any
// thread. Header-only, so the camera client uses it without linking the rest.
extern "C" {
#include <libavcodec/packet.h>
}

namespace Quillet {

constexpr bool IsCleanKeyFlags(int flags)
{
    return (flags & AV_PKT_FLAG_KEY) != 0 && (flags & (AV_PKT_FLAG_CORRUPT | AV_PKT_FLAG_DISCARD)) == 0;
}

inline bool IsCleanKey(const AVPacket& packet) { return IsCleanKeyFlags(packet.flags); }

} // namespace Quillet
