#pragma once
// The small control records: seek marker, end of stream, connection notice.
// Made by the source's thread and immutable once pushed, like every record
// (see FFData.h), so any thread reads them without a lock.
#include <string>

#include "core/FFData.h"

namespace Quillet {

// Pushed by a source right after it has repositioned.
class FFSeekInfo : public FFData {
public:
    FFSeekInfo() : FFData(FFType::SeekInfo) {}
    explicit FFSeekInfo(double t) : FFData(FFType::SeekInfo), time(t) {}

    int32_t GetSerializedSize() const override { return 36; }
    FFAttribute GetAttribute() const override { return FFAttribute::Seek; }
    // Only the time travels back; the flags keep their defaults.
    void Deserialize(const uint8_t* payload, int32_t length) override;

    double time = 0.0;
    // Set by the traffic node while it forwards the marker.
    bool wasPaused = false;
    bool flushQueues = true;

protected:
    void WritePayload(WireWriter& w) const override;
};

class FFEOSInfo : public FFData {
public:
    FFEOSInfo() : FFData(FFType::EOSInfo) {}

    int32_t GetSerializedSize() const override { return 20; }
    FFAttribute GetAttribute() const override { return FFAttribute::Control; }
    void Deserialize(const uint8_t* payload, int32_t length) override;

protected:
    void WritePayload(WireWriter& w) const override;
};

class FFConnectionInfo : public FFData {
public:
    FFConnectionInfo() : FFData(FFType::ConnectionInfo) {}
    FFConnectionInfo(ConnectionStatus s, std::string m) : FFData(FFType::ConnectionInfo), message(std::move(m)), status(s) {}

    int32_t GetSerializedSize() const override;
    FFAttribute GetAttribute() const override { return FFAttribute::Control; }
    void Deserialize(const uint8_t* payload, int32_t length) override;

    std::string message;
    ConnectionStatus status = ConnectionStatus::Disconnected;

protected:
    void WritePayload(WireWriter& w) const override;
};

} // namespace Quillet
