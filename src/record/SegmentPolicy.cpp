#include "record/SegmentPolicy.h"

#include <filesystem>
#include <system_error>

namespace Quillet {
namespace FileNaming {
namespace {

size_t LeafStart(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

std::string Extension(const std::string& path)
{
    const auto dot = path.find('.', LeafStart(path));
    return dot == std::string::npos ? std::string() : path.substr(path.find_last_of('.'));
}

} // namespace

std::string WithMarker(const std::string& path, const std::string& marker)
{
    std::string name = path;
    const auto dot = path.find('.', LeafStart(path));
    name.insert(dot == std::string::npos ? name.size() : dot, marker);
    return name;
}

std::string Folder(const std::string& path)
{
    return path.substr(0, LeafStart(path));
}

std::string FromPattern(const std::string& pattern, const std::string& folder, std::time_t start, int n,
                        const std::string& like)
{
    std::string withNumber = pattern;
    for (auto at = withNumber.find("{n}"); at != std::string::npos; at = withNumber.find("{n}", at))
        withNumber.replace(at, 3, std::to_string(n));
    std::tm local{};
    localtime_r(&start, &local);
    char text[1024] = "";
    if (std::strftime(text, sizeof text, withNumber.c_str(), &local) == 0)
        return folder + withNumber;
    std::string name = text;
    if (Extension(name).empty())
        name += Extension(like);
    // A pattern with its own folder is taken as it is.
    return name.find('/') == std::string::npos ? folder + name : name;
}

} // namespace FileNaming

void SegmentRetention::Configure(int64_t keepBytes, double keepSeconds)
{
    _keepBytes = keepBytes;
    _keepSeconds = keepSeconds;
}

void SegmentRetention::Finished(const std::string& path, std::time_t now)
{
    if (_keepBytes > 0 || _keepSeconds > 0)
        _files.push_back({path, now});
}

int SegmentRetention::Enforce(std::time_t now)
{
    std::error_code ec;
    int64_t total = 0;
    for (const auto& s : _files)
        total += static_cast<int64_t>(std::filesystem::file_size(s.path, ec) * !ec);
    int deleted = 0;
    while (!_files.empty()) {
        const Segment& oldest = _files.front();
        const bool tooBig = _keepBytes > 0 && total > _keepBytes;
        const bool tooOld = _keepSeconds > 0 && static_cast<double>(now - oldest.finished) > _keepSeconds;
        if (!tooBig && !tooOld)
            break;
        const auto size = std::filesystem::file_size(oldest.path, ec);
        if (!ec)
            total -= static_cast<int64_t>(size);
        if (std::filesystem::remove(oldest.path, ec))
            ++deleted;
        _files.pop_front();
    }
    return deleted;
}

} // namespace Quillet
