#pragma once
#include <cstdint>
#include <string>

namespace Quillet::Tools {

// Writes a packed 24-bit RGB picture as a PNG file; throws std::runtime_error on failure.
void WritePng(const std::string& path, const uint8_t* rgb, int width, int height);

} // namespace Quillet::Tools
