#include "core/FFCodecLock.h"

namespace Quillet {

std::mutex& CodecLock()
{
    static std::mutex lock;
    return lock;
}

} // namespace Quillet
