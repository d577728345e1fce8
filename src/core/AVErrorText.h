#pragma once
// FFmpeg's words for one of its negative error codes, for messages and logs.
// Any thread.
#include <string>

extern "C" {
#include <libavutil/error.h>
}

namespace Quillet {

inline std::string AVErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

} // namespace Quillet
