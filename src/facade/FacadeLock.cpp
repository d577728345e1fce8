// The facades' monitor guard (facade/FacadeTypes.h): it waits for the monitor
// in slices, and between them gives up on a thread that the monitor's holder
// is joining (a stop waiting for the recording's write thread, whose event
// handler calls the facade).
#include <chrono>

#include "core/FFThread.h"
#include "facade/FacadeTypes.h"

namespace Quillet::FFWrapperCLI {

namespace {
constexpr std::chrono::milliseconds kRecheck{20};
} // namespace

lock::lock(std::recursive_timed_mutex& monitor) : _monitor(monitor)
{
    while (!(_entered = _monitor.try_lock_for(kRecheck)))
        if (Quillet::threadex::IsThisThreadBeingJoined())
            return;
}

lock::~lock()
{
    if (_entered)
        _monitor.unlock();
}

} // namespace Quillet::FFWrapperCLI
