#include "WavWriter.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace Quillet::Tools {
namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

} // namespace

WavWriter::WavWriter(const std::string& path, int rate, int channels)
    : _file(std::fopen(path.c_str(), "wb")), _rate(rate), _channels(channels)
{
    if (!_file)
        throw std::runtime_error("Cannot write " + path);
    WriteHeader();
}

WavWriter::~WavWriter()
{
    if (_file) {
        WriteHeader(); // now with the real sizes
        std::fclose(_file);
    }
}

void WavWriter::WriteHeader()
{
    std::vector<uint8_t> h;
    const uint32_t data = static_cast<uint32_t>(_bytes);
    h.insert(h.end(), {'R', 'I', 'F', 'F'});
    Put32(h, 36 + data);
    h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(h, 16);
    Put16(h, 1);
    Put16(h, static_cast<uint16_t>(_channels));
    Put32(h, static_cast<uint32_t>(_rate));
    Put32(h, static_cast<uint32_t>(_rate * _channels * 2));
    Put16(h, static_cast<uint16_t>(_channels * 2));
    Put16(h, 16);
    h.insert(h.end(), {'d', 'a', 't', 'a'});
    Put32(h, data);
    std::fseek(_file, 0, SEEK_SET);
    std::fwrite(h.data(), 1, h.size(), _file);
    std::fseek(_file, 0, SEEK_END);
}

AudioBufferList WavWriter::GetBuffers()
{
    AudioBufferList list;
    for (int i = 0; i < 4; ++i)
        list.push_back(std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(1024 * 2 * _channels)));
    return list;
}

void WavWriter::SubmitBuffers(AudioBufferList filled)
{
    for (const auto& b : filled) {
        std::fwrite(b->data(), 1, b->size(), _file);
        _bytes += b->size();
    }
}

} // namespace Quillet::Tools
