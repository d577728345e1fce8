#include "core/FFControlInfo.h"

#include <limits>

#include "core/WireBytes.h"

namespace Quillet {

void FFSeekInfo::WritePayload(WireWriter& w) const
{
    WriteObjectHead(w);
    w.PutF64(20, time);
    w.PutU8(28, wasPaused ? 1 : 0);
    w.PutU8(29, flushQueues ? 1 : 0);
}

void FFSeekInfo::Deserialize(const uint8_t* payload, int32_t length)
{
    if (length != 24)
        throw WireFormatError("Seek record of wrong length " + std::to_string(length));
    WireReader r(payload, static_cast<size_t>(length));
    time = r.F64(8, "the seek time");
}

void FFEOSInfo::WritePayload(WireWriter& w) const
{
    WriteObjectHead(w);
}

void FFEOSInfo::Deserialize(const uint8_t*, int32_t length)
{
    if (length != 8)
        throw WireFormatError("End-of-stream record of wrong length " + std::to_string(length));
}

int32_t FFConnectionInfo::GetSerializedSize() const
{
    if (message.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max() - 16))
        throw std::length_error("Connection message too long");
    return 16 + static_cast<int32_t>(message.size());
}

void FFConnectionInfo::WritePayload(WireWriter& w) const
{
    w.PutI32(12, static_cast<int32_t>(status));
    w.PutBytes(16, message.data(), message.size());
}

void FFConnectionInfo::Deserialize(const uint8_t* payload, int32_t length)
{
    if (length < 4)
        throw WireFormatError("Connection record too short");
    WireReader r(payload, static_cast<size_t>(length));
    const int32_t s = r.I32(0, "the connection status");
    if (s < 0 || s > 2)
        throw WireFormatError("Connection record with unknown status " + std::to_string(s));
    status = static_cast<ConnectionStatus>(s);
    message.assign(reinterpret_cast<const char*>(r.At(4, static_cast<size_t>(length - 4), "the message")),
                   static_cast<size_t>(length - 4));
}

} // namespace Quillet
