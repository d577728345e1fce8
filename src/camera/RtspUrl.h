#pragma once
// Credentials travel inside the URL for FFmpeg's RTSP demuxer, which then
// answers Basic and Digest challenges itself. Pure functions, any thread.
#include <string>

namespace Quillet {

// The URL with user and password (percent-encoded) as its user info,
// replacing any user info it had. Unchanged when username is empty.
std::string UrlWithCredentials(const std::string& url, const std::string& username,
                               const std::string& password);
std::string PercentEncodeUserInfo(const std::string& text);

} // namespace Quillet
