#pragma once
// The byte stream under one recorded file: a file descriptor of our own behind
// an FFmpeg I/O context, so the recording knows how far the file is complete,
// can push complete fragments to the OS, fsync, and cut a torn tail off after
// a failed write. Owned and called by one FFFile, i.e. only on the thread that
// writes the file (the sink's write thread, or a caller holding the sink's file
// lock); no locking of its own.
#include <cstdint>
#include <memory>
#include <string>

extern "C" {
#include <libavformat/avio.h>
}

namespace Quillet {

class FileOutput {
public:
    // Creates (or truncates) `path`; throws std::runtime_error when it cannot.
    explicit FileOutput(const std::string& path);
    // Creates `path`, or when a file of that name exists already the first
    // free of its numbered names (NumberedName 2, 3, ...): never writes over
    // a file. The test and the creation are one step (O_EXCL), so a file
    // made meanwhile by anyone is kept too. Path() tells the name taken.
    static std::unique_ptr<FileOutput> CreateNew(const std::string& path);
    // `path` with "_n" before the first "." of its file name (at its end
    // when it has none); `path` itself for n < 2.
    static std::string NumberedName(const std::string& path, int n);
    ~FileOutput();
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    AVIOContext* Context() const { return _context; }
    // Hands what the muxer has buffered to the OS. When the muxer has just
    // completed a fragment, the file up to here is complete: a later torn
    // write is cut back to this point.
    void Commit();
    // Asks the OS to put the file on the disk.
    void Sync();
    // Bytes written so far (the end of the file).
    int64_t Size() const { return _size; }
    // The errno of the first failed write or seek; 0 while none failed.
    int Error() const { return _errno; }
    // Flushes, cuts a torn tail after a failure, fsyncs and closes. Safe to
    // call repeatedly.
    void Close();
    void Rename(const std::string& path) { _path = path; }
    const std::string& Path() const { return _path; }

private:
    FileOutput(const std::string& path, int flags);
    static int WritePacket(void* opaque, uint8_t* buffer, int size);
    static int ReadPacket(void* opaque, uint8_t* buffer, int size);
    static int64_t Seek(void* opaque, int64_t offset, int whence);

    std::string _path;
    int _fd = -1;
    AVIOContext* _context = nullptr;
    int64_t _position = 0;
    int64_t _size = 0;
    int64_t _committed = 0;
    // The file's size after its header; -1 until then.
    int64_t _headerSize = -1;
    int _errno = 0;
};

} // namespace Quillet
