#include "source/OpenFailure.h"

#include <cerrno>

extern "C" {
#include <libavutil/error.h>
}

namespace Quillet {

const char* OpenFailureText(OpenFailure failure)
{
    switch (failure) {
    case OpenFailure::None: return "";
    case OpenFailure::NotFound: return "not found";
    case OpenFailure::PermissionDenied: return "permission denied";
    case OpenFailure::ConnectionRefused: return "connection refused";
    case OpenFailure::TimedOut: return "timed out";
    case OpenFailure::AuthorizationFailed: return "authorization failed";
    case OpenFailure::NotMediaFile: return "not a media file";
    case OpenFailure::UnsupportedCodec: return "unsupported codec";
    case OpenFailure::Cancelled: return "cancelled";
    case OpenFailure::Other: break;
    }
    return "cannot open";
}

OpenFailure OpenFailureFromError(int averror)
{
    switch (averror) {
    case AVERROR(ENOENT):
    case AVERROR_HTTP_NOT_FOUND:
    case AVERROR_PROTOCOL_NOT_FOUND:
        return OpenFailure::NotFound;
    case AVERROR(EACCES):
    case AVERROR(EPERM):
        return OpenFailure::PermissionDenied;
    case AVERROR(ECONNREFUSED):
        return OpenFailure::ConnectionRefused;
    case AVERROR(ETIMEDOUT):
        return OpenFailure::TimedOut;
    case AVERROR_HTTP_UNAUTHORIZED:
    case AVERROR_HTTP_FORBIDDEN:
        return OpenFailure::AuthorizationFailed;
    case AVERROR_INVALIDDATA:
    case AVERROR_DEMUXER_NOT_FOUND:
    case AVERROR_EOF:
        return OpenFailure::NotMediaFile;
    case AVERROR_DECODER_NOT_FOUND:
        return OpenFailure::UnsupportedCodec;
    case AVERROR_EXIT:
        return OpenFailure::Cancelled;
    default:
        return OpenFailure::Other;
    }
}

} // namespace Quillet
