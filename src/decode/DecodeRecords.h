#pragma once
// What kind of record the decoder's queues hold. Pure functions of a record;
// any thread may call them.
#include "core/FFData.h"
#include "core/FFPacket.h"
#include "core/FFCodecInfo.h"

namespace Quillet {

inline bool IsCodecRecord(const FFData& d)
{
    return d.type == FFType::CodecInfo || d.type == FFType::AVCodec;
}

inline bool IsAudioRecord(const FFData& d)
{
    if (d.type == FFType::Packet)
        return static_cast<const FFPacket&>(d).streamType == FFStreamType::Audio;
    if (d.type == FFType::CodecInfo)
        return static_cast<const FFCodecInfo&>(d).streamType == FFStreamType::Audio;
    return false;
}

// Seconds per timestamp count of the stream a description belongs to.
inline double SecondsPerTick(const FFCodecInfo& info)
{
    return info.timeBaseDen != 0 ? static_cast<double>(info.timeBaseNum) / info.timeBaseDen : 0.0;
}

} // namespace Quillet
