#pragma once
// Records that travel between the nodes of a graph. Every record can flatten
// itself into an FFSerializedData and be rebuilt from one; that is how packets
// reach remote clients and come back in.
//
// Threads: a record is built by one thread and then only read, by as many
// threads as hold it (a packet shared by several destinations, a serialized
// record shared by several client queues). Records carry no lock: nobody
// changes a record after pushing it.
#include <cstdint>
#include <memory>

#include "core/FFTypes.h"

namespace Quillet {

class WireWriter;

// The flat form of one record (or, for a client batch, of several).
struct FFSerializedData {
    std::unique_ptr<uint8_t[]> data;
    int32_t size = 0;
    FFAttribute attribute = FFAttribute::Plain;
};

class FFData {
public:
    // Every record starts with: int32 type, int32 total size, int32 attribute.
    static constexpr int32_t kHeaderSize = 12;

    explicit FFData(FFType t) : type(t) {}
    virtual ~FFData() = default;
    FFData(const FFData&) = delete;
    FFData& operator=(const FFData&) = delete;

    // Total length of the serialized form, header included.
    virtual int32_t GetSerializedSize() const = 0;
    virtual FFAttribute GetAttribute() const = 0;
    // Header, then the payload written by WritePayload.
    virtual std::shared_ptr<FFSerializedData> Serialize() const;
    // Fills this record from the bytes after the 12-byte header. Every length
    // is checked against `length`; a block that does not fit throws.
    virtual void Deserialize(const uint8_t* payload, int32_t length) = 0;

    FFType GetType() const { return type; }

    const FFType type;

protected:
    // Writes the payload; offsets are those of the whole record (the header
    // occupies bytes 0 to 11 and is already written).
    virtual void WritePayload(WireWriter& w) const = 0;
    // Bytes 12 to 19 of most records: a reserved word and the type again.
    void WriteObjectHead(WireWriter& w) const;
};

// Rebuilds a record from its serialized form. `available` is how many bytes
// the caller can vouch for; the record's own size must fit inside it.
// A type outside 1 to 6 throws "Wrong FFData type".
std::unique_ptr<FFData> CreateFromSerialized(const uint8_t* data, size_t available);
std::unique_ptr<FFData> CreateFromSerialized(const FFSerializedData& serialized);

} // namespace Quillet
