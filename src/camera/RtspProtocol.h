#pragma once
// The text side of RTSP 1.0 as the camera client speaks it: the camera's
// address taken apart, the responses it sends, its session description
// (SDP), and the answers to its Basic and Digest challenges.
// Pure functions and plain values, any thread.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Quillet {

struct RtspAddress {
    std::string host;
    int port = 554;
    // The URL as requests name it: scheme, host, port, path and query,
    // never the login.
    std::string requestUrl;
    // From the user info, percent-decoded; empty without one.
    std::string username;
    std::string password;
};

// Nothing when the text is no rtsp:// (or rtsps://) URL with a host.
std::optional<RtspAddress> ParseRtspUrl(const std::string& url);

struct RtspResponse {
    int status = 0;
    std::string reason;
    // Header names in lower case; a repeated header keeps every value,
    // joined by "\n".
    std::map<std::string, std::string> headers;
    std::string body;

    std::string Header(const std::string& lowerName) const;
};

// Parses a complete response (status line, headers, body) from the start of
// `data`. Returns the bytes it used, 0 when more data is needed, and -1 when
// the data is no RTSP response (the caller skips a byte and looks again).
long ParseRtspResponse(const char* data, std::size_t size, RtspResponse& response);

// One m= section of a session description.
struct SdpMedia {
    std::string kind; // "video", "audio", ...
    int payloadType = -1;
    std::string encoding; // upper case, e.g. "H264", "MPEG4-GENERIC"
    int clockRate = 0;
    int channels = 0;
    // fmtp parameters of the payload type, names in lower case.
    std::map<std::string, std::string> format;
    std::string control;
    double frameRate = 0.0;
};

struct SessionDescription {
    std::string control; // session-level a=control, often "*"
    std::vector<SdpMedia> media;
};

SessionDescription ParseSdp(const std::string& text);

// The value of `name=` inside a header such as Transport or Session, or empty.
std::string HeaderParameter(const std::string& header, const std::string& name);

// The URL a SETUP of `media` goes to: its control as it is when absolute,
// else joined to the base (Content-Base, Content-Location or the request URL).
std::string ControlUrl(const std::string& base, const std::string& control);

// The Authorization header for a request, answering the camera's
// WWW-Authenticate challenges (Digest preferred over Basic). Empty when no
// challenge can be answered. `nonceCount` counts the requests made with the
// same Digest nonce (qop=auth).
std::string AuthorizationHeader(const std::string& challenges, const std::string& username,
                                const std::string& password, const std::string& method, const std::string& uri,
                                uint32_t nonceCount);

std::vector<uint8_t> DecodeBase64(const std::string& text);
std::vector<uint8_t> DecodeHex(const std::string& text);

} // namespace Quillet
