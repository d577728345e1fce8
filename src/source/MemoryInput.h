#pragma once
// Bytes held in memory, read by the demuxer through a custom I/O context as
// if they were a seekable file. Used by the thread that opens and reads the
// source only; holds no lock.
#include <cstdint>
#include <memory>
#include <vector>

struct AVIOContext;

namespace Quillet {

class MemoryInput {
public:
    explicit MemoryInput(std::vector<uint8_t> bytes);
    ~MemoryInput();
    MemoryInput(const MemoryInput&) = delete;
    MemoryInput& operator=(const MemoryInput&) = delete;

    // The I/O context to hand to the demuxer (null if it could not be made).
    AVIOContext* Context() const { return _context; }

private:
    static int Read(void* opaque, uint8_t* buffer, int size);
    static int64_t Seek(void* opaque, int64_t offset, int whence);

    // The opening/reading thread's alone (see the header).
    std::vector<uint8_t> _bytes;
    size_t _position = 0;
    AVIOContext* _context = nullptr;
};

} // namespace Quillet
