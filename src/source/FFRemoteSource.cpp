#include "source/FFRemoteSource.h"

#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "core/FFControlInfo.h"
#include "core/WireBytes.h"

namespace Quillet {
namespace {

// Two seek times closer than this name the same seek.
constexpr double kSeekTolerance = 0.01;

bool SameSeek(double a, double b)
{
    return std::fabs(a - b) < kSeekTolerance;
}

struct BlockRecord {
    uint32_t offset;
    uint32_t end;
    FFType type;
    std::shared_ptr<FFData> record;
};

std::string Where(uint32_t offset, uint32_t size)
{
    return "at offset " + std::to_string(offset) + " of a " + std::to_string(size) + "-byte block";
}

// Reads the records of [data + from, data + size) one after the other, each
// bounded by its own header's size. Everything is checked and rebuilt before
// the caller pushes anything, so a bad record late in a block cannot leave
// the earlier ones delivered and the block half consumed.
std::vector<BlockRecord> ReadBlock(const uint8_t* data, uint32_t size, uint32_t from)
{
    if (size > 0 && !data)
        throw WireFormatError("Remote block is null but claims " + std::to_string(size) + " bytes");
    if (from > size)
        throw WireFormatError("Remote block of " + std::to_string(size) +
                              " bytes is shorter than the position " + std::to_string(from) +
                              " its unfinished predecessor stopped at");

    std::vector<BlockRecord> records;
    uint32_t offset = from;
    while (offset < size) {
        const uint32_t remaining = size - offset;
        if (remaining < static_cast<uint32_t>(FFData::kHeaderSize))
            throw WireFormatError("Remote block ends with " + std::to_string(remaining) +
                                  " stray bytes, too few for a record header, " + Where(offset, size));
        const WireReader header(data + offset, FFData::kHeaderSize);
        const int32_t type = header.I32(0, "the record type");
        const int32_t length = header.I32(4, "the record size");
        if (type < static_cast<int32_t>(FFType::Packet) || type > static_cast<int32_t>(FFType::ConnectionInfo))
            throw WireFormatError("Wrong FFData type " + std::to_string(type) + " " + Where(offset, size));
        if (length < FFData::kHeaderSize)
            throw WireFormatError("Record of type " + std::to_string(type) + " " + Where(offset, size) +
                                  " claims an impossible size of " + std::to_string(length) + " bytes");
        if (static_cast<uint32_t>(length) > remaining)
            throw WireFormatError("Record of type " + std::to_string(type) + " " + Where(offset, size) +
                                  " claims " + std::to_string(length) + " bytes but only " +
                                  std::to_string(remaining) + " remain");

        std::shared_ptr<FFData> record;
        try {
            // Only the record's own bytes are vouched for, never the rest of the block.
            record = CreateFromSerialized(data + offset, static_cast<size_t>(length));
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            throw WireFormatError("Malformed record of type " + std::to_string(type) + " " + Where(offset, size) +
                                  ": " + e.what());
        }
        const uint32_t end = offset + static_cast<uint32_t>(length);
        records.push_back(BlockRecord{offset, end, static_cast<FFType>(type), std::move(record)});
        offset = end;
    }
    return records;
}

} // namespace

std::shared_ptr<FFData> FFRemoteSource::GetMetaInfo()
{
    LogInfo() << "FFRemoteSource::GetMetaInfo";
    return nullptr;
}

bool FFRemoteSource::Push(const uint8_t* data, uint32_t size)
{
    try {
        return _PushBlock(data, size);
    } catch (...) {
        // Whatever went wrong belongs to this block; the next one starts afresh.
        _position = 0;
        throw;
    }
}

bool FFRemoteSource::_PushBlock(const uint8_t* data, uint32_t size)
{
    if (_waitForCodec)
        _position = 0;
    const std::vector<BlockRecord> records = ReadBlock(data, size, _position);
    size_t i = 0;

    if (_waitForCodec) {
        // Nothing is of use to a decoder before it knows the codec.
        while (i < records.size() && records[i].type != FFType::AVCodec)
            ++i;
        if (i == records.size()) {
            _position = 0;
            return true;
        }
        PushToDestinations(records[i].record); // a description is never held back
        _position = records[i].end;
        _waitForCodec = false;
        ++i;
    }

    if (_expectedSeek > kNoSeek) {
        // Drop what the sender had in flight before it carried out our seek;
        // the matching marker itself goes through below.
        for (; i < records.size(); ++i) {
            if (records[i].type != FFType::SeekInfo)
                continue;
            const auto& marker = static_cast<const FFSeekInfo&>(*records[i].record);
            if (SameSeek(marker.time, _expectedSeek)) {
                _expectedSeek = kNoSeek;
                break;
            }
        }
        if (i == records.size()) {
            _position = 0;
            return true;
        }
        _position = records[i].offset;
    }

    for (; i < records.size(); ++i) {
        const BlockRecord& r = records[i];
        _position = r.offset;
        const bool control = r.type == FFType::SeekInfo || r.type == FFType::AVCodec;
        // Descriptions and seek markers are never held back.
        if (!control && AnyDestinationBusy())
            return false;
        PushToDestinations(r.record);
    }
    _position = 0;
    return true;
}

bool FFRemoteSource::WaitForSeek(double seconds)
{
    if (SameSeek(_expectedSeek, seconds))
        return false;
    _expectedSeek = seconds;
    return true;
}

void FFRemoteSource::WaitForSeek()
{
    _position = 0;
}

void FFRemoteSource::Resynchronise()
{
    _waitForCodec = true;
}

void FFRemoteSource::Seek(double seconds)
{
    PushToDestinations(std::make_shared<FFSeekInfo>(seconds));
}

} // namespace Quillet
