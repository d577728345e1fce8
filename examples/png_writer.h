#pragma once
// A small PNG writer for the examples: 8-bit RGB in stored (uncompressed)
// deflate blocks, so it needs nothing but the standard library.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace example {

inline void Put32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

inline void WriteChunk(std::ofstream& file, const char* type, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> chunk;
    Put32(chunk, static_cast<uint32_t>(data.size()));
    chunk.insert(chunk.end(), type, type + 4);
    chunk.insert(chunk.end(), data.begin(), data.end());
    uint32_t crc = 0xFFFFFFFFu; // CRC-32 over type and data
    for (size_t i = 4; i < chunk.size(); ++i) {
        crc ^= chunk[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    Put32(chunk, ~crc);
    file.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
}

// Writes width x height packed RGB pixels (rows without padding); false when the file cannot be written.
inline bool WritePng(const std::string& path, const uint8_t* rgb, int width, int height)
{
    const size_t row = static_cast<size_t>(width) * 3;
    std::vector<uint8_t> raw; // each row: filter byte 0, then the pixels
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), rgb + row * y, rgb + row * (y + 1));
    }
    std::vector<uint8_t> z{0x78, 0x01};
    for (size_t at = 0;;) {
        const size_t n = std::min<size_t>(65535, raw.size() - at);
        const bool last = at + n == raw.size();
        z.insert(z.end(), {uint8_t(last), uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
        z.insert(z.end(), raw.begin() + at, raw.begin() + at + n);
        at += n;
        if (last)
            break;
    }
    uint32_t a = 1, b = 0; // Adler-32 of the uncompressed data
    for (uint8_t v : raw) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    Put32(z, (b << 16) | a);
    std::vector<uint8_t> header;
    Put32(header, static_cast<uint32_t>(width));
    Put32(header, static_cast<uint32_t>(height));
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8 bits, RGB, deflate, no filter, no interlace
    std::ofstream file(path, std::ios::binary);
    file.write("\x89PNG\r\n\x1a\n", 8);
    WriteChunk(file, "IHDR", header);
    WriteChunk(file, "IDAT", z);
    WriteChunk(file, "IEND", {});
    return static_cast<bool>(file);
}

} // namespace example
