#include "record/FileOutput.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace Quillet {
namespace {

constexpr int kBufferSize = 64 * 1024;
// Numbered names tried before giving up on a folder full of them.
constexpr int kMostNumberedNames = 100000;

// Thrown by the constructor when an exclusive creation finds the name taken.
struct NameTaken : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace

FileOutput::FileOutput(const std::string& path) : FileOutput(path, O_TRUNC) {}

FileOutput::FileOutput(const std::string& path, int flags) : _path(path)
{
    // Read-write: some muxers read back what they wrote to finish the file.
    _fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | flags, 0644);
    if (_fd < 0 && errno == EEXIST && (flags & O_EXCL))
        throw NameTaken(path);
    if (_fd < 0)
        throw std::runtime_error("Cannot create " + path + ": " + std::strerror(errno));
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (buffer)
        _context = avio_alloc_context(buffer, kBufferSize, 1, this, &FileOutput::ReadPacket, &FileOutput::WritePacket,
                                      &FileOutput::Seek);
    if (!_context) {
        av_free(buffer);
        ::close(_fd);
        throw std::bad_alloc();
    }
}

std::unique_ptr<FileOutput> FileOutput::CreateNew(const std::string& path)
{
    for (int n = 1; n <= kMostNumberedNames; ++n) {
        try {
            return std::unique_ptr<FileOutput>(new FileOutput(NumberedName(path, n), O_EXCL));
        } catch (const NameTaken&) {
            // Someone's file: the next number.
        }
    }
    throw std::runtime_error("Cannot create " + path + ": every numbered name is taken");
}

std::string FileOutput::NumberedName(const std::string& path, int n)
{
    if (n < 2)
        return path;
    const auto slash = path.find_last_of('/');
    const auto dot = path.find('.', slash == std::string::npos ? 0 : slash + 1);
    std::string name = path;
    name.insert(dot == std::string::npos ? name.size() : dot, "_" + std::to_string(n));
    return name;
}

FileOutput::~FileOutput()
{
    Close();
}

int FileOutput::WritePacket(void* opaque, uint8_t* buffer, int size)
{
    auto* self = static_cast<FileOutput*>(opaque);
    if (self->_errno)
        return AVERROR(self->_errno);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(self->_fd, buffer + done, static_cast<size_t>(size - done), self->_position);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            self->_errno = n < 0 ? errno : ENOSPC;
            return AVERROR(self->_errno);
        }
        done += static_cast<int>(n);
        self->_position += n;
        if (self->_position > self->_size)
            self->_size = self->_position;
    }
    return size;
}

int FileOutput::ReadPacket(void* opaque, uint8_t* buffer, int size)
{
    auto* self = static_cast<FileOutput*>(opaque);
    const ssize_t n = ::pread(self->_fd, buffer, static_cast<size_t>(size), self->_position);
    if (n < 0)
        return AVERROR(errno);
    if (n == 0)
        return AVERROR_EOF;
    self->_position += n;
    return static_cast<int>(n);
}

int64_t FileOutput::Seek(void* opaque, int64_t offset, int whence)
{
    auto* self = static_cast<FileOutput*>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
        return self->_size;
    case SEEK_SET:
        break;
    case SEEK_CUR:
        offset += self->_position;
        break;
    case SEEK_END:
        offset += self->_size;
        break;
    default:
        return AVERROR(EINVAL);
    }
    if (offset < 0)
        return AVERROR(EINVAL);
    self->_position = offset;
    return offset;
}

void FileOutput::Commit()
{
    if (!_context)
        return;
    avio_flush(_context);
    if (!_errno && _context->error >= 0) {
        _committed = _size;
        if (_headerSize < 0)
            _headerSize = _size;
    }
}

void FileOutput::Sync()
{
    if (_fd >= 0)
        ::fsync(_fd);
}

void FileOutput::Close()
{
    if (_context) {
        avio_flush(_context);
        av_freep(&_context->buffer);
        avio_context_free(&_context);
    }
    if (_fd < 0)
        return;
    // A write that failed half-way leaves a torn fragment behind the last
    // complete one; readers give up at it, so it goes.
    if (_errno && _committed < _size && ::ftruncate(_fd, _committed) == 0)
        _size = _committed;
    ::fsync(_fd);
    ::close(_fd);
    _fd = -1;
    // Nothing but the header survived: no picture to keep.
    if (_errno && _size <= std::max<int64_t>(_headerSize, 0))
        ::unlink(_path.c_str());
}

} // namespace Quillet
