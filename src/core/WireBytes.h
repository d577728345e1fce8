#pragma once
// Little-endian field writer and bounds-checked reader for the wire format.
// Records are written field by field, never by copying structs, so the bytes
// are the same whatever the compiler lays out in memory. Plain values used
// by one thread at a time; no shared state.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/FFError.h"

namespace Quillet {

// Thrown for any serialized block that does not fit its own declared sizes.
class WireFormatError : public FFError {
public:
    using FFError::FFError;
};

// Writes into a caller-owned span; every write is at an absolute offset.
class WireWriter {
public:
    WireWriter(uint8_t* data, size_t size) : _data(data), _size(size) {}

    void PutI32(size_t offset, int32_t v) { PutLE(offset, static_cast<uint32_t>(v), 4); }
    void PutU32(size_t offset, uint32_t v) { PutLE(offset, v, 4); }
    void PutI64(size_t offset, int64_t v) { PutLE(offset, static_cast<uint64_t>(v), 8); }
    void PutU64(size_t offset, uint64_t v) { PutLE(offset, v, 8); }
    void PutF32(size_t offset, float v)
    {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        PutU32(offset, bits);
    }
    void PutF64(size_t offset, double v)
    {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        PutU64(offset, bits);
    }
    void PutU8(size_t offset, uint8_t v)
    {
        Check(offset, 1);
        _data[offset] = v;
    }
    void PutBytes(size_t offset, const void* src, size_t n)
    {
        if (n == 0)
            return;
        Check(offset, n);
        std::memcpy(_data + offset, src, n);
    }

private:
    void PutLE(size_t offset, uint64_t v, size_t n)
    {
        Check(offset, n);
        for (size_t i = 0; i < n; ++i)
            _data[offset + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    void Check(size_t offset, size_t n) const
    {
        if (offset > _size || n > _size - offset)
            throw std::logic_error("Serialized record larger than its computed size");
    }

    // The span written, not owned; a writer is used by one thread at a time.
    uint8_t* _data;
    size_t _size;
};

// Reads from a span it does not own; reading outside it throws instead.
class WireReader {
public:
    WireReader(const uint8_t* data, size_t size) : _data(data), _size(size) {}

    size_t Size() const { return _size; }
    const uint8_t* At(size_t offset, size_t n, const char* what) const
    {
        Require(offset, n, what);
        return _data + offset;
    }

    int32_t I32(size_t offset, const char* what) const { return static_cast<int32_t>(LE(offset, 4, what)); }
    uint32_t U32(size_t offset, const char* what) const { return static_cast<uint32_t>(LE(offset, 4, what)); }
    int64_t I64(size_t offset, const char* what) const { return static_cast<int64_t>(LE(offset, 8, what)); }
    uint64_t U64(size_t offset, const char* what) const { return LE(offset, 8, what); }
    float F32(size_t offset, const char* what) const
    {
        uint32_t bits = U32(offset, what);
        float v;
        std::memcpy(&v, &bits, 4);
        return v;
    }
    double F64(size_t offset, const char* what) const
    {
        uint64_t bits = U64(offset, what);
        double v;
        std::memcpy(&v, &bits, 8);
        return v;
    }
    uint8_t U8(size_t offset, const char* what) const { return *At(offset, 1, what); }

    void Require(size_t offset, size_t n, const char* what) const
    {
        if (offset > _size || n > _size - offset)
            throw WireFormatError(std::string("Serialized record too short for ") + what + " (needs " +
                                  std::to_string(offset + n) + " bytes, has " + std::to_string(_size) + ")");
    }

private:
    uint64_t LE(size_t offset, size_t n, const char* what) const
    {
        Require(offset, n, what);
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i)
            v |= static_cast<uint64_t>(_data[offset + i]) << (8 * i);
        return v;
    }

    // The span read, not owned; a reader is used by one thread at a time.
    const uint8_t* _data;
    size_t _size;
};

} // namespace Quillet
