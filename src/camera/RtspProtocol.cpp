#include "camera/RtspProtocol.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

extern "C" {
#include <libavutil/base64.h>
#include <libavutil/md5.h>
}

namespace Quillet {
namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}

std::string Trim(const std::string& text)
{
    const std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    const std::size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::string PercentDecode(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit((unsigned char)text[i + 1]) &&
            std::isxdigit((unsigned char)text[i + 2])) {
            out += char(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string Md5Hex(const std::string& text)
{
    uint8_t digest[16];
    av_md5_sum(digest, reinterpret_cast<const uint8_t*>(text.data()), int(text.size()));
    char hex[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return std::string(hex, 32);
}

// key=value or key="value" pairs separated by commas.
std::map<std::string, std::string> ChallengeParameters(const std::string& text)
{
    std::map<std::string, std::string> parameters;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ',' || std::isspace((unsigned char)text[i])))
            ++i;
        const std::size_t equals = text.find('=', i);
        if (equals == std::string::npos)
            break;
        const std::string key = Lower(Trim(text.substr(i, equals - i)));
        i = equals + 1;
        std::string value;
        if (i < text.size() && text[i] == '"') {
            const std::size_t close = text.find('"', i + 1);
            value = text.substr(i + 1, (close == std::string::npos ? text.size() : close) - i - 1);
            i = close == std::string::npos ? text.size() : close + 1;
        } else {
            const std::size_t comma = text.find(',', i);
            value = Trim(text.substr(i, (comma == std::string::npos ? text.size() : comma) - i));
            i = comma == std::string::npos ? text.size() : comma;
        }
        parameters[key] = value;
    }
    return parameters;
}

} // namespace

std::optional<RtspAddress> ParseRtspUrl(const std::string& url)
{
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        return std::nullopt;
    const std::string schemeName = Lower(url.substr(0, scheme));
    if (schemeName != "rtsp" && schemeName != "rtsps")
        return std::nullopt;
    const std::size_t start = scheme + 3;
    std::size_t end = url.find_first_of("/?#", start);
    if (end == std::string::npos)
        end = url.size();
    std::string authority = url.substr(start, end - start);
    RtspAddress address;
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        const std::string userInfo = authority.substr(0, at);
        const std::size_t colon = userInfo.find(':');
        address.username = PercentDecode(userInfo.substr(0, colon));
        if (colon != std::string::npos)
            address.password = PercentDecode(userInfo.substr(colon + 1));
        authority = authority.substr(at + 1);
    }
    std::string host = authority;
    if (!authority.empty() && authority[0] == '[') { // IPv6 literal
        const std::size_t close = authority.find(']');
        if (close == std::string::npos)
            return std::nullopt;
        host = authority.substr(1, close - 1);
        if (close + 1 < authority.size() && authority[close + 1] == ':')
            address.port = std::atoi(authority.c_str() + close + 2);
    } else {
        const std::size_t colon = authority.rfind(':');
        if (colon != std::string::npos) {
            host = authority.substr(0, colon);
            address.port = std::atoi(authority.c_str() + colon + 1);
        }
    }
    if (host.empty() || address.port <= 0 || address.port > 65535)
        return std::nullopt;
    address.host = host;
    std::string rest = url.substr(end);
    const std::size_t fragment = rest.find('#');
    if (fragment != std::string::npos)
        rest.erase(fragment);
    address.requestUrl = url.substr(0, start) + authority + rest;
    return address;
}

std::string RtspResponse::Header(const std::string& lowerName) const
{
    const auto found = headers.find(lowerName);
    return found == headers.end() ? std::string() : found->second;
}

long ParseRtspResponse(const char* data, std::size_t size, RtspResponse& response)
{
    static constexpr char kVersion[] = "RTSP/1.0 ";
    const std::size_t prefix = std::min(size, sizeof(kVersion) - 1);
    if (std::memcmp(data, kVersion, prefix) != 0)
        return -1;
    const std::string_view text(data, size);
    const std::size_t headerEnd = text.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos)
        return size > 64 * 1024 ? -1 : 0;
    RtspResponse parsed;
    std::size_t lineStart = 0;
    bool first = true;
    while (lineStart < headerEnd) {
        std::size_t lineEnd = text.find("\r\n", lineStart);
        const std::string line(text.substr(lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 2;
        if (first) {
            first = false;
            parsed.status = std::atoi(line.c_str() + sizeof(kVersion) - 1);
            const std::size_t space = line.find(' ', sizeof(kVersion) - 1);
            parsed.reason = space == std::string::npos ? "" : line.substr(space + 1);
            if (parsed.status < 100 || parsed.status > 999)
                return -1;
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = Lower(Trim(line.substr(0, colon)));
        const std::string value = Trim(line.substr(colon + 1));
        auto& slot = parsed.headers[name];
        slot = slot.empty() ? value : slot + "\n" + value;
    }
    const long length = std::atol(parsed.Header("content-length").c_str());
    if (length < 0 || length > 1024 * 1024)
        return -1;
    const std::size_t total = headerEnd + 4 + std::size_t(length);
    if (size < total)
        return 0;
    parsed.body.assign(data + headerEnd + 4, std::size_t(length));
    response = std::move(parsed);
    return long(total);
}

SessionDescription ParseSdp(const std::string& text)
{
    SessionDescription session;
    SdpMedia* media = nullptr;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.size() < 2 || line[1] != '=')
            continue;
        const char kind = line[0];
        const std::string value = line.substr(2);
        if (kind == 'm') {
            SdpMedia entry;
            char type[32] = {}, proto[64] = {};
            int port = 0, payload = -1;
            if (std::sscanf(value.c_str(), "%31s %d %63s %d", type, &port, proto, &payload) < 4)
                payload = -1;
            entry.kind = type;
            entry.payloadType = payload;
            // Static payload types need no rtpmap.
            if (payload == 0)
                entry.encoding = "PCMU", entry.clockRate = 8000, entry.channels = 1;
            else if (payload == 8)
                entry.encoding = "PCMA", entry.clockRate = 8000, entry.channels = 1;
            else if (payload == 9)
                entry.encoding = "G722", entry.clockRate = 8000, entry.channels = 1;
            else if (payload == 26)
                entry.encoding = "JPEG", entry.clockRate = 90000;
            session.media.push_back(std::move(entry));
            media = &session.media.back();
            continue;
        }
        if (kind != 'a')
            continue;
        const std::size_t colon = value.find(':');
        const std::string attribute = Lower(value.substr(0, colon));
        const std::string argument = colon == std::string::npos ? "" : Trim(value.substr(colon + 1));
        if (attribute == "control") {
            (media ? media->control : session.control) = argument;
        } else if (media && (attribute == "rtpmap" || attribute == "fmtp")) {
            const std::size_t space = argument.find(' ');
            if (space == std::string::npos || std::atoi(argument.c_str()) != media->payloadType)
                continue;
            const std::string rest = Trim(argument.substr(space + 1));
            if (attribute == "rtpmap") {
                const std::size_t slash = rest.find('/');
                media->encoding = Upper(rest.substr(0, slash));
                if (slash != std::string::npos) {
                    media->clockRate = std::atoi(rest.c_str() + slash + 1);
                    const std::size_t second = rest.find('/', slash + 1);
                    media->channels = second == std::string::npos ? 1 : std::atoi(rest.c_str() + second + 1);
                }
            } else {
                std::size_t at = 0;
                while (at < rest.size()) {
                    std::size_t semicolon = rest.find(';', at);
                    if (semicolon == std::string::npos)
                        semicolon = rest.size();
                    const std::string pair = Trim(rest.substr(at, semicolon - at));
                    at = semicolon + 1;
                    const std::size_t equals = pair.find('=');
                    if (equals != std::string::npos)
                        media->format[Lower(Trim(pair.substr(0, equals)))] = Trim(pair.substr(equals + 1));
                }
            }
        } else if (media && attribute == "framerate") {
            media->frameRate = std::atof(argument.c_str());
        }
    }
    return session;
}

std::string ControlUrl(const std::string& base, const std::string& control)
{
    if (control.empty() || control == "*")
        return base;
    if (Lower(control.substr(0, 7)) == "rtsp://" || Lower(control.substr(0, 8)) == "rtsps://")
        return control;
    if (!base.empty() && base.back() == '/')
        return base + control;
    return base + "/" + control;
}

std::string AuthorizationHeader(const std::string& challenges, const std::string& username,
                                const std::string& password, const std::string& method, const std::string& uri,
                                uint32_t nonceCount)
{
    std::string basic;
    std::size_t start = 0;
    while (start <= challenges.size()) {
        std::size_t end = challenges.find('\n', start);
        if (end == std::string::npos)
            end = challenges.size();
        const std::string challenge = Trim(challenges.substr(start, end - start));
        start = end + 1;
        const std::string scheme = Lower(challenge.substr(0, challenge.find(' ')));
        if (scheme == "basic") {
            const std::string login = username + ":" + password;
            std::vector<char> encoded(AV_BASE64_SIZE(login.size()));
            av_base64_encode(encoded.data(), int(encoded.size()), reinterpret_cast<const uint8_t*>(login.data()),
                             int(login.size()));
            basic = std::string("Basic ") + encoded.data();
            continue;
        }
        if (scheme != "digest")
            continue;
        auto parameters = ChallengeParameters(challenge.substr(6));
        const std::string realm = parameters["realm"], nonce = parameters["nonce"];
        const std::string algorithm = parameters["algorithm"];
        if (!algorithm.empty() && Lower(algorithm) != "md5")
            continue;
        const std::string ha1 = Md5Hex(username + ":" + realm + ":" + password);
        const std::string ha2 = Md5Hex(method + ":" + uri);
        std::string header = "Digest username=\"" + username + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
                             "\", uri=\"" + uri + "\"";
        std::string qop = parameters["qop"];
        if (!qop.empty()) {
            // "auth" when offered among others.
            if (qop.find("auth") != std::string::npos)
                qop = "auth";
            char count[9];
            std::snprintf(count, sizeof(count), "%08x", nonceCount);
            static thread_local std::mt19937 random{std::random_device{}()};
            char cnonce[17];
            std::snprintf(cnonce, sizeof(cnonce), "%08x%08x", unsigned(random()), unsigned(random()));
            const std::string response = Md5Hex(ha1 + ":" + nonce + ":" + count + ":" + cnonce + ":" + qop + ":" + ha2);
            header += ", qop=" + qop + ", nc=" + count + ", cnonce=\"" + cnonce + "\", response=\"" + response + "\"";
        } else {
            header += ", response=\"" + Md5Hex(ha1 + ":" + nonce + ":" + ha2) + "\"";
        }
        if (!algorithm.empty())
            header += ", algorithm=" + algorithm;
        if (parameters.count("opaque"))
            header += ", opaque=\"" + parameters["opaque"] + "\"";
        return header;
    }
    return basic;
}

std::vector<uint8_t> DecodeBase64(const std::string& text)
{
    std::vector<uint8_t> out(text.size() * 3 / 4 + 4);
    const int size = av_base64_decode(out.data(), text.c_str(), int(out.size()));
    out.resize(size > 0 ? std::size_t(size) : 0);
    return out;
}

std::vector<uint8_t> DecodeHex(const std::string& text)
{
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        if (!std::isxdigit((unsigned char)text[i]) || !std::isxdigit((unsigned char)text[i + 1]))
            break;
        out.push_back(uint8_t(std::strtol(text.substr(i, 2).c_str(), nullptr, 16)));
    }
    return out;
}

std::string HeaderParameter(const std::string& header, const std::string& name)
{
    std::size_t at = 0;
    while ((at = header.find(name + "=", at)) != std::string::npos) {
        if (at == 0 || header[at - 1] == ';' || header[at - 1] == ' ') {
            const std::size_t start = at + name.size() + 1;
            const std::size_t end = header.find_first_of(";,", start);
            return header.substr(start, end == std::string::npos ? std::string::npos : end - start);
        }
        at += name.size();
    }
    return {};
}

} // namespace Quillet
