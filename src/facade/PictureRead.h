#pragma once
// Reading one picture into memory the application owns, written once for the
// facade's FrameData and the C interface's caller buffers. The decoder
// converts the running stream straight into the storage a FrameTarget
// reserves; a sought or cached picture comes from the decoder's own picture
// and is copied once into the FrameData.
//
// Threads: the reading thread, inside the facade's monitor (WithEngine); a
// target lives for one read and is used by nothing else.
#include <cstddef>
#include <cstdint>

#include "decode/PictureTarget.h"
#include "facade/FacadeTypes.h"

namespace Quillet {
class FFEngine;
}

namespace Quillet::FFWrapperCLI {

// Sizes `data` for one picture, keeping its storage (same data pointer) while
// size and dimensions stay the same; returns the storage.
uint8_t* SizeFrameData(FrameData& data, int width, int height, int bytes);

// A conversion target that can tell whether pixels lie in its storage.
class FrameTarget : public Quillet::PictureTarget {
public:
    virtual bool Holds(const uint8_t* pixels) const = 0;
};

// The application's FrameData as the target.
class FrameDataTarget : public FrameTarget {
public:
    explicit FrameDataTarget(FrameData& data) : _data(data) {}
    uint8_t* Reserve(int width, int height, int bytes) override { return SizeFrameData(_data, width, height, bytes); }
    bool Holds(const uint8_t* pixels) const override { return pixels == _data.frame.data(); }

private:
    FrameData& _data;
};

// The next picture: its time, size and status in `data`, its pixels in the
// target's storage, or copied into `data.frame` when the decoder handed out
// its own picture; `*pixels` (when asked for) says where they are. Returns
// what FFWrapper::ReadFrameGetSize returns.
int ReadPicture(Quillet::FFEngine& engine, FrameData& data, FrameTarget& target, const uint8_t** pixels = nullptr);

} // namespace Quillet::FFWrapperCLI
