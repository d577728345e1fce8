#pragma once
// Tells the recording sink when the file it writes is about to run out of
// room: the free space of the file's volume, or what the process's file-size
// limit still allows for the file, whichever is smaller. Owned by one
// FFFileSink and called under its file lock (on its write thread, or by
// Finish); no locking of its own.
#include <cstdint>
#include <string>

namespace Quillet {

class FreeSpaceGuard {
public:
    static constexpr int64_t kDefaultMinimum = 256LL * 1024 * 1024;

    // -1: the larger of 256 MB and 1% of the volume; 0: never low.
    void SetMinimum(int64_t bytes) { _minimum = bytes; }
    // Whether `path`, now `fileBytes` long, has less room left than the
    // minimum. The file system is asked again only after a step of writing
    // much smaller than the minimum, so the answer is never late by more.
    bool IsLow(const std::string& path, int64_t fileBytes);
    // Forgets the last answer (a new file starts).
    void Reset() { _checkedAt = -1; }

private:
    // Guarded by the owning sink's file lock (see the header).
    int64_t _minimum = -1;
    int64_t _checkedAt = -1;
    int64_t _step = 0;
};

} // namespace Quillet
