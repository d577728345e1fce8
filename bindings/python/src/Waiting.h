#pragma once
// Waits of the Python interface, cut into slices of at most kSliceMs so that
// Ctrl-C reaches a thread blocked without limit. Called with the interpreter
// lock held; the slices themselves run without it.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>

#include <pybind11/pybind11.h>

namespace QuilletPython {

namespace py = pybind11;

inline constexpr int kSliceMs = 100;
using Clock = std::chrono::steady_clock;

// A deadline `seconds` from now, or none.
inline std::optional<Clock::time_point> Deadline(std::optional<double> seconds)
{
    if (!seconds)
        return std::nullopt;
    if (*seconds < 0 || std::isnan(*seconds))
        throw py::value_error("timeout must be None or 0 or more seconds");
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*seconds));
}

// The next wait in milliseconds, -1 once the deadline has passed.
inline int NextSlice(const std::optional<Clock::time_point>& deadline, bool first)
{
    if (!deadline)
        return kSliceMs;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    if (left <= 0)
        return first ? 0 : -1;
    return static_cast<int>(std::min<long long>(left, kSliceMs));
}

// Lets Ctrl-C and other signal handlers run between slices.
inline void CheckSignals()
{
    if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
}

} // namespace QuilletPython
