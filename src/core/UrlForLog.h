#pragma once
// The one rule for showing a URL that may carry a login: the user name stays,
// the password becomes "***". Every URL the library, its tools and its
// bindings write into a log line, a message or a tool's output passes through
// it (the C interface hands it out as quillet_url_for_log). The password is
// everything from the first ':' of the user info to the last '@' before the
// path, so a password written raw with '@' or ':' in it is hidden whole.
// Pure function, any thread. Header-only, so the camera client uses it
// without linking the rest.
#include <string>

namespace Quillet {

inline std::string UrlForLog(const std::string& url)
{
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        return url;
    const std::size_t start = scheme + 3;
    const std::size_t pathAt = url.find_first_of("/?#", start);
    const std::size_t end = pathAt == std::string::npos ? url.size() : pathAt;
    const std::size_t at = end == start ? std::string::npos : url.rfind('@', end - 1);
    if (at == std::string::npos || at < start)
        return url;
    const std::size_t colon = url.find(':', start);
    if (colon == std::string::npos || colon > at)
        return url;
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

} // namespace Quillet
