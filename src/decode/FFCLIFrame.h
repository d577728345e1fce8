#pragma once
// What one picture read hands back: the converted picture (or nothing), its
// byte size (0 none ready, -1 once at end of stream) and the stream status.
// A plain value returned to the reading thread; the picture it points at is
// reused by that thread's next read.
#include <cstdint>
#include <memory>

#include "core/FFFrame.h"

namespace Quillet {

struct FFCLIFrame {
    std::shared_ptr<FFBufferFrame> frame;
    int32_t size = 0;
    // An FFStatus::FFStreamStatus value: Seeking while a seek is pending, else Ready.
    int32_t status = 0;
};

} // namespace Quillet
