#pragma once
// What the player facade tests share: reading until the next picture.
#include <chrono>
#include <thread>

#include "facade/FFWrapper.h"

namespace Quillet::Testing {

// Reads until a picture comes (size > 0) or the stream ends (size < 0); 0 after `limit`.
inline int NextPicture(FFWrapperCLI::FFWrapper& player, FFWrapperCLI::FrameData& data,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(10000))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const int size = player.ReadFrameGetSize(&data);
        if (size != 0)
            return size;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}

} // namespace Quillet::Testing
