#pragma once
// Why a source could not be opened, as a short reason an application can show
// its user. Plain values: any thread may read and copy them.
#include <cstdint>
#include <string>

namespace Quillet {

enum class OpenFailure : int32_t {
    None = 0,
    NotFound = 1,
    PermissionDenied = 2,
    ConnectionRefused = 3,
    TimedOut = 4,
    AuthorizationFailed = 5,
    NotMediaFile = 6,
    UnsupportedCodec = 7,
    Cancelled = 8,
    Other = 9,
};

// "not found", "permission denied", ... ("" for None).
const char* OpenFailureText(OpenFailure failure);

// The reason behind an FFmpeg (AVERROR) open or read error code.
OpenFailure OpenFailureFromError(int averror);

} // namespace Quillet
