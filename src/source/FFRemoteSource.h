#pragma once
// A source fed from outside: the application hands in byte blocks that a
// serving instance produced (serialized records back to back) and this node
// rebuilds the records and pushes them downstream. It waits for a codec
// description before anything else and, when told to expect a seek, drops
// everything up to that seek's marker.
//
// The bytes come from a network and are not trusted: a block is checked in
// full (types, sizes, every record's content) before any of it is pushed, and
// nothing outside [data, data + size) is read. A malformed block throws a
// WireFormatError (an FFError) whose text says what was wrong and where (a bad
// record type reads "Wrong FFData type <n> at offset ..."); none of the block
// is pushed and the node is left ready for the next block.
//
// Everything runs on the caller's thread; the remote engine serialises calls
// with its own lock. Nothing here waits or sleeps: when the destinations are
// busy, Push returns and the caller offers the block again later.
#include <cstdint>
#include <memory>

#include "core/FFData.h"
#include "core/FFNode.h"
#include "events/FFMessageClient.h"

namespace Quillet {

class FFRemoteSource : public FFSourceNode<FFData>, public FFMessageClient {
public:
    FFRemoteSource() = default;
    ~FFRemoteSource() override = default;
    FFRemoteSource(const FFRemoteSource&) = delete;
    FFRemoteSource& operator=(const FFRemoteSource&) = delete;

    // A remote stream describes itself with its first FFAVCodec record, which
    // reaches every destination through the normal push; always empty.
    std::shared_ptr<FFData> GetMetaInfo() override;

    // Rebuilds the records of one block and pushes them. True when the whole
    // block has been dealt with; false when the destinations were busy and the
    // rest of the block is still to be pushed: the caller then offers the same
    // block again and the push resumes where it stopped. Throws on a malformed
    // block (see above).
    bool Push(const uint8_t* data, uint32_t size);

    // Drop incoming records until a seek marker for `seconds` (within 0.01 s)
    // arrives. False when that seek is already awaited.
    bool WaitForSeek(double seconds);
    // The next block is read from its start, even after an unfinished one.
    void WaitForSeek();
    // Skip incoming records up to the next codec description.
    void Resynchronise();
    // Sends a seek marker for `seconds` to every destination at once.
    void Seek(double seconds);

    // For tests and diagnostics.
    uint32_t GetPosition() const { return _position; }
    bool IsWaitingForCodec() const { return _waitForCodec; }
    double GetExpectedSeek() const { return _expectedSeek; }

private:
    static constexpr double kNoSeek = -1.0;

    bool _PushBlock(const uint8_t* data, uint32_t size);

    // Offset within the block being worked on; 0 between blocks.
    uint32_t _position = 0;
    bool _waitForCodec = true;
    double _expectedSeek = kNoSeek;
};

} // namespace Quillet
