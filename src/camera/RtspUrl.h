#pragma once
// Credentials inside URLs: put in for FFmpeg's protocols (which answer the
// login challenges themselves), hidden in log lines. Pure functions, any thread.
#include <string>

namespace Quillet {

// The URL with user and password (percent-encoded) as its user info,
// replacing any user info it had. Unchanged when username is empty.
std::string UrlWithCredentials(const std::string& url, const std::string& username,
                               const std::string& password);
std::string PercentEncodeUserInfo(const std::string& text);

} // namespace Quillet
