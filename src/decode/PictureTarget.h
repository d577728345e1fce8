#pragma once
// The application's own picture buffer. A picture read with a target is
// converted straight into the target's storage, so the pixels are written
// once between the decoder and the application. All calls happen on the
// reading thread, inside the read that was given the target.
#include <cstdint>

#include "core/FFFrame.h"

namespace Quillet {

class PictureTarget {
public:
    virtual ~PictureTarget() = default;
    // Storage for one picture of `bytes` bytes (`width` x `height`, rows
    // packed), or null to refuse it; valid until the read returns.
    virtual uint8_t* Reserve(int width, int height, int bytes) = 0;
};

// A picture laid over a target's storage instead of a buffer of its own.
// Valid, like every picture handed out, until the next read. Its `lock`
// guards the layout while it is laid over new storage (reading thread).
class TargetFrame : public FFBufferFrame {
public:
    // Lays a picture of the given format and size over storage reserved from
    // `target`; false when the target refused it.
    bool LayOver(PictureTarget& target, int format, int width, int height);

    int GetVideoSize() const override { return _size; }
    uint8_t* GetVideoData() const override { return _data; }

private:
    // The storage laid over; the reading thread's, changed by LayOver only.
    uint8_t* _data = nullptr;
    int _size = 0;
};

} // namespace Quillet
