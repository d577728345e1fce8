#include "record/FreeSpaceGuard.h"

#include <algorithm>
#include <sys/resource.h>
#include <sys/statvfs.h>

#include "record/SegmentPolicy.h"

namespace Quillet {
namespace {

constexpr int64_t kLargestStep = 1024 * 1024;

} // namespace

bool FreeSpaceGuard::IsLow(const std::string& path, int64_t fileBytes)
{
    if (_minimum == 0)
        return false;
    if (_checkedAt >= 0 && fileBytes - _checkedAt < _step)
        return false;
    _checkedAt = fileBytes;
    const std::string folder = FileNaming::Folder(path);
    struct statvfs volume {};
    if (statvfs(folder.empty() ? "." : folder.c_str(), &volume) != 0)
        return false;
    const int64_t unit = static_cast<int64_t>(volume.f_frsize);
    int64_t room = static_cast<int64_t>(volume.f_bavail) * unit;
    int64_t minimum = _minimum;
    if (minimum < 0)
        minimum = std::max(kDefaultMinimum, static_cast<int64_t>(volume.f_blocks) * unit / 100);
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        room = std::min(room, static_cast<int64_t>(limit.rlim_cur) - fileBytes);
    _step = std::clamp<int64_t>(minimum / 8, 1, kLargestStep);
    return room < minimum;
}

} // namespace Quillet
