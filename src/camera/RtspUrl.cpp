#include "camera/RtspUrl.h"

#include <cctype>

namespace Quillet {
namespace {

// Index of the first character of the authority, npos without a scheme.
std::size_t AuthorityStart(const std::string& url)
{
    const std::size_t scheme = url.find("://");
    return scheme == std::string::npos ? std::string::npos : scheme + 3;
}

// End of the authority: the first '/', '?' or '#' after its start.
std::size_t AuthorityEnd(const std::string& url, std::size_t start)
{
    const std::size_t end = url.find_first_of("/?#", start);
    return end == std::string::npos ? url.size() : end;
}

} // namespace

std::string PercentEncodeUserInfo(const std::string& text)
{
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

std::string UrlWithCredentials(const std::string& url, const std::string& username,
                               const std::string& password)
{
    const std::size_t start = AuthorityStart(url);
    if (username.empty() || start == std::string::npos)
        return url;
    const std::size_t end = AuthorityEnd(url, start);
    const std::size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
    const std::size_t host = (at != std::string::npos && at >= start && at < end) ? at + 1 : start;
    std::string userInfo = PercentEncodeUserInfo(username);
    if (!password.empty())
        userInfo += ":" + PercentEncodeUserInfo(password);
    return url.substr(0, start) + userInfo + "@" + url.substr(host);
}

} // namespace Quillet
