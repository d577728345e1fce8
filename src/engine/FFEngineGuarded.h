#pragma once
// The bodies of FFEngine::Guarded, for the engine's source files only: an
// operation that throws is logged and answered with its neutral value, so no
// exception reaches the facade from the engine's own operations.
#include "engine/FFEngine.h"

namespace Quillet {

template <typename R, typename F>
R FFEngine::Guarded(const char* operation, R neutral, F&& work) const
{
    try {
        return work();
    } catch (const std::exception& e) {
        LogFailure(operation, e);
        return neutral;
    }
}

template <typename F>
void FFEngine::Guarded(const char* operation, F&& work) const
{
    try {
        work();
    } catch (const std::exception& e) {
        LogFailure(operation, e);
    }
}

} // namespace Quillet
