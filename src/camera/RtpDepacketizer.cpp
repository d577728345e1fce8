#include "camera/RtpDepacketizer.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

#include "camera/ParameterSets.h"

namespace Quillet {
namespace {

constexpr std::size_t kMaxUnitBytes = 16 * 1024 * 1024; // a unit that grows beyond this is garbage
constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

uint16_t Be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

int Parameter(const SdpMedia& media, const char* name, int otherwise)
{
    const auto found = media.format.find(name);
    return found == media.format.end() || found->second.empty() ? otherwise : std::atoi(found->second.c_str());
}

std::string Text(const SdpMedia& media, const char* name)
{
    const auto found = media.format.find(name);
    return found == media.format.end() ? std::string() : found->second;
}

// Comma-separated base64 NAL units, each behind a start code.
void AppendBase64Units(const std::string& list, std::vector<uint8_t>& out)
{
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos)
            comma = list.size();
        const std::vector<uint8_t> nal = DecodeBase64(list.substr(start, comma - start));
        start = comma + 1;
        if (nal.empty())
            continue;
        out.insert(out.end(), kStartCode, kStartCode + 4);
        out.insert(out.end(), nal.begin(), nal.end());
    }
}

// ------------------------------------------------------------------ H.264 / H.265

// One access unit from single NAL unit packets, aggregation packets and
// fragmentation units, written out as Annex B.
class NalAssembler final : public RtpDepacketizer {
public:
    NalAssembler(bool hevc, const std::vector<uint8_t>& parameterSets) : _hevc(hevc)
    {
        for (const NalUnit& nal : SplitAnnexB(parameterSets.data(), parameterSets.size()))
            _Remember(nal.data(), nal.size());
    }

    void Push(const RtpPacketView& packet, bool lossBefore, std::vector<AccessUnit>& out) override
    {
        if (lossBefore && _open) {
            _DropFragment();
            _unit.corrupt = true;
        }
        if (_open && packet.timestamp != _unit.timestamp)
            _Flush(out);
        if (!_open) {
            _open = true;
            _unit.timestamp = packet.timestamp;
            // The missing packets may have begun this unit.
            _unit.corrupt = lossBefore;
        }
        if (_hevc)
            _PushHevc(packet.payload, packet.size);
        else
            _PushH264(packet.payload, packet.size);
        if (_unit.data.size() > kMaxUnitBytes) {
            _unit.data.clear();
            _unit.corrupt = true;
            _fragmentStart = kNone;
        }
        if (packet.marker)
            _Flush(out);
    }

private:
    static constexpr std::size_t kNone = std::size_t(-1);

    int _Type(const uint8_t* nal) const { return _hevc ? (nal[0] >> 1) & 0x3F : nal[0] & 0x1F; }

    void _PushH264(const uint8_t* p, std::size_t size)
    {
        if (size < 1)
            return;
        const int type = p[0] & 0x1F;
        if (type >= 1 && type <= 23) {
            _AppendNal(p, size);
        } else if (type == 24 || type == 25) { // STAP-A, STAP-B (with a decoding order number)
            _Aggregate(p + (type == 24 ? 1 : 3), size - std::min<std::size_t>(size, type == 24 ? 1 : 3));
        } else if ((type == 28 || type == 29) && size >= 2) { // FU-A, FU-B
            const uint8_t header = p[1];
            const bool start = header & 0x80, end = header & 0x40;
            std::size_t skip = 2 + (type == 29 && start ? 2 : 0);
            if (size < skip)
                return;
            const uint8_t nalHeader[1] = {uint8_t((p[0] & 0xE0) | (header & 0x1F))};
            _Fragment(start, end, nalHeader, 1, p + skip, size - skip);
        } else {
            _unit.corrupt = true; // MTAP and reserved types are not sent by cameras
        }
    }

    void _PushHevc(const uint8_t* p, std::size_t size)
    {
        if (size < 2)
            return;
        const int type = (p[0] >> 1) & 0x3F;
        if (type < 48) {
            _AppendNal(p, size);
        } else if (type == 48) { // aggregation packet
            _Aggregate(p + 2, size - 2);
        } else if (type == 49 && size >= 3) { // fragmentation unit
            const uint8_t header = p[2];
            const uint8_t nalHeader[2] = {uint8_t((p[0] & 0x81) | ((header & 0x3F) << 1)), p[1]};
            _Fragment(header & 0x80, header & 0x40, nalHeader, 2, p + 3, size - 3);
        } else {
            _unit.corrupt = true;
        }
    }

    void _Aggregate(const uint8_t* p, std::size_t size)
    {
        while (size >= 2) {
            const std::size_t length = Be16(p);
            p += 2, size -= 2;
            if (length == 0 || length > size) {
                _unit.corrupt = true;
                return;
            }
            _AppendNal(p, length);
            p += length, size -= length;
        }
    }

    void _Fragment(bool start, bool end, const uint8_t* nalHeader, std::size_t headerSize, const uint8_t* p,
                   std::size_t size)
    {
        if (start) {
            if (_fragmentStart != kNone) { // the previous unit's end never came
                _DropFragment();
                _unit.corrupt = true;
            }
            _fragmentStart = _unit.data.size();
            _AppendNal(nalHeader, headerSize, false);
        } else if (_fragmentStart == kNone) {
            _unit.corrupt = true; // its beginning was lost
            return;
        }
        _unit.data.insert(_unit.data.end(), p, p + size);
        if (end) {
            if (_IsParameterSet(_Type(nalHeader)))
                _Remember(_unit.data.data() + _fragmentStart + 4, _unit.data.size() - _fragmentStart - 4);
            _fragmentStart = kNone;
        }
    }

    void _DropFragment()
    {
        if (_fragmentStart == kNone)
            return;
        _unit.data.resize(_fragmentStart);
        _fragmentStart = kNone;
    }

    // `whole`: false for the header of a unit whose fragments follow.
    void _AppendNal(const uint8_t* nal, std::size_t size, bool whole = true)
    {
        if (size == 0)
            return;
        const int type = _Type(nal);
        // Some payloaders repeat the parameter sets in front of every slice
        // of a key picture; after the first slice they would start a new
        // access unit for any parser (the recording's readers included), so
        // a repeat of a set this unit already holds is left out.
        if (whole && _IsParameterSet(type) && _sliceSeen && _HoldsUnit(nal, size))
            return;
        _unit.data.insert(_unit.data.end(), kStartCode, kStartCode + 4);
        _unit.data.insert(_unit.data.end(), nal, nal + size);
        if (_hevc ? (type >= 16 && type <= 23) : type == 5)
            _unit.key = true;
        if (_hevc ? type <= 31 : (type >= 1 && type <= 5))
            _sliceSeen = true;
        if (whole && _IsParameterSet(type))
            _Remember(nal, size); // fragmented ones when their last fragment came
    }

    bool _HoldsUnit(const uint8_t* nal, std::size_t size) const
    {
        for (const NalUnit& held : SplitAnnexB(_unit.data.data(), _unit.data.size()))
            if (held.size() == size && std::equal(held.begin(), held.end(), nal))
                return true;
        return false;
    }

    bool _IsParameterSet(int type) const { return _hevc ? type >= 32 && type <= 34 : type == 7 || type == 8; }

    void _Remember(const uint8_t* nal, std::size_t size)
    {
        if (size < 2)
            return;
        const int type = _Type(nal);
        const int slot = _hevc ? type - 32 : (type == 7 ? 1 : 2);
        if (_IsParameterSet(type))
            _sets[std::size_t(slot)].assign(nal, nal + size);
    }

    // A key picture that came without its parameter sets gets the last ones
    // seen, so it decodes on its own (the recording may begin at it).
    void _CompleteKeyPicture()
    {
        std::array<bool, 3> present{!_hevc, false, false}; // H.264 has no VPS
        std::size_t insertAt = 0;
        bool first = true;
        for (const NalUnit& nal : SplitAnnexB(_unit.data.data(), _unit.data.size())) {
            if (nal.empty())
                continue;
            const int type = _Type(nal.data());
            if (_IsParameterSet(type))
                present[std::size_t(_hevc ? type - 32 : (type == 7 ? 1 : 2))] = true;
            if (first && type == (_hevc ? 35 : 9)) // after an access unit delimiter
                insertAt = 4 + nal.size();
            first = false;
        }
        std::vector<uint8_t> missing;
        for (std::size_t i = 0; i < 3; ++i) {
            if (present[i] || _sets[i].empty())
                continue;
            missing.insert(missing.end(), kStartCode, kStartCode + 4);
            missing.insert(missing.end(), _sets[i].begin(), _sets[i].end());
        }
        _unit.data.insert(_unit.data.begin() + long(insertAt), missing.begin(), missing.end());
    }

    void _Flush(std::vector<AccessUnit>& out)
    {
        _DropFragment();
        if (_open && !_unit.data.empty()) {
            if (_unit.key)
                _CompleteKeyPicture();
            out.push_back(std::move(_unit));
        }
        _unit = {};
        _open = false;
        _sliceSeen = false;
    }

    const bool _hevc;
    bool _sliceSeen = false; // the unit holds a slice
    bool _open = false;
    AccessUnit _unit;
    std::size_t _fragmentStart = kNone; // where the unit being reassembled from fragments begins
    std::array<std::vector<uint8_t>, 3> _sets; // VPS, SPS, PPS last seen
};

// ------------------------------------------------------------------ AAC

class Mpeg4GenericDepacketizer final : public RtpDepacketizer {
public:
    explicit Mpeg4GenericDepacketizer(const SdpMedia& media)
        : _sizeLength(Parameter(media, "sizelength", 0)), _indexLength(Parameter(media, "indexlength", 0)),
          _indexDeltaLength(Parameter(media, "indexdeltalength", 0))
    {
    }

    void Push(const RtpPacketView& packet, bool lossBefore, std::vector<AccessUnit>& out) override
    {
        if (lossBefore || (!_fragment.data.empty() && packet.timestamp != _fragment.timestamp))
            _fragment = {};
        if (_sizeLength == 0) { // no headers: the payload is one frame
            out.push_back({std::vector<uint8_t>(packet.payload, packet.payload + packet.size), packet.timestamp, true});
            return;
        }
        if (packet.size < 2)
            return;
        const std::size_t headerBits = Be16(packet.payload);
        const std::size_t headerBytes = (headerBits + 7) / 8;
        if (2 + headerBytes > packet.size)
            return;
        const uint8_t* headers = packet.payload + 2;
        const uint8_t* data = headers + headerBytes;
        std::size_t left = packet.size - 2 - headerBytes;
        std::vector<std::size_t> sizes;
        std::size_t bit = 0;
        auto read = [&](int bits) {
            uint32_t value = 0;
            for (int i = 0; i < bits; ++i, ++bit)
                value = (value << 1) | ((headers[bit / 8] >> (7 - bit % 8)) & 1);
            return value;
        };
        while (bit + std::size_t(_sizeLength) <= headerBits) {
            sizes.push_back(read(_sizeLength));
            read(sizes.size() == 1 ? _indexLength : _indexDeltaLength);
        }
        if (sizes.size() == 1 && sizes[0] > left) { // one frame over several packets
            if (_fragment.data.empty())
                _fragment.timestamp = packet.timestamp;
            _fragment.data.insert(_fragment.data.end(), data, data + left);
            if (_fragment.data.size() >= sizes[0] || packet.marker) {
                _fragment.key = true;
                _fragment.corrupt = _fragment.data.size() != sizes[0];
                out.push_back(std::move(_fragment));
                _fragment = {};
            }
            return;
        }
        for (std::size_t i = 0; i < sizes.size() && sizes[i] <= left; ++i) {
            out.push_back({std::vector<uint8_t>(data, data + sizes[i]), packet.timestamp + uint32_t(i * 1024), true});
            data += sizes[i], left -= sizes[i];
        }
    }

private:
    const int _sizeLength;
    const int _indexLength;
    const int _indexDeltaLength;
    AccessUnit _fragment;
};

// ------------------------------------------------------------------ frames as they come

// Every packet one frame (sound), or a frame joined up to its marker
// (MPEG-4 part 2 video).
class FrameDepacketizer final : public RtpDepacketizer {
public:
    explicit FrameDepacketizer(bool joinToMarker, bool video) : _join(joinToMarker), _video(video) {}

    void Push(const RtpPacketView& packet, bool lossBefore, std::vector<AccessUnit>& out) override
    {
        if (!_join) {
            out.push_back({std::vector<uint8_t>(packet.payload, packet.payload + packet.size), packet.timestamp, true});
            return;
        }
        if (lossBefore && _open)
            _unit.corrupt = true;
        if (_open && packet.timestamp != _unit.timestamp)
            _Flush(out);
        if (!_open) {
            _open = true;
            _unit.timestamp = packet.timestamp;
            _unit.corrupt = lossBefore;
        }
        _unit.data.insert(_unit.data.end(), packet.payload, packet.payload + packet.size);
        if (packet.marker || _unit.data.size() > kMaxUnitBytes)
            _Flush(out);
    }

private:
    void _Flush(std::vector<AccessUnit>& out)
    {
        if (!_unit.data.empty()) {
            // An intra-coded VOP: start code 00 00 01 B6, coding type 00.
            const auto& d = _unit.data;
            _unit.key = !_video;
            for (std::size_t i = 0; _video && i + 4 < d.size(); ++i)
                if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && d[i + 3] == 0xB6) {
                    _unit.key = (d[i + 4] >> 6) == 0;
                    break;
                }
            out.push_back(std::move(_unit));
        }
        _unit = {};
        _open = false;
    }

    const bool _join;
    const bool _video;
    bool _open = false;
    AccessUnit _unit;
};

// ------------------------------------------------------------------ Motion JPEG

// The standard tables of the JPEG specification (K.1 in zigzag order as RFC
// 2435 scales them, K.3 for the Huffman codes), which RTP leaves out.
constexpr uint8_t kLumaQuantizer[64] = {16, 11, 12, 14, 12,  10,  16,  14,  13,  14,  18,  17,  16,  19,  24,  40,
                                        26, 24, 22, 22, 24,  49,  35,  37,  29,  40,  58,  51,  61,  60,  57,  51,
                                        56, 55, 64, 72, 92,  78,  64,  68,  87,  69,  55,  56,  80,  109, 81,  87,
                                        95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
constexpr uint8_t kChromaQuantizer[64] = {17, 18, 18, 24, 21, 24, 47, 26, 26, 47, 99, 66, 56, 66, 99, 99,
                                          99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                          99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                          99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
constexpr uint8_t kDcLumaBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kDcChromaBits[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr uint8_t kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t kAcLumaBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr uint8_t kAcLumaValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3,
    0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr uint8_t kAcChromaBits[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr uint8_t kAcChromaValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1,
    0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
    0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba,
    0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

class JpegDepacketizer final : public RtpDepacketizer {
public:
    void Push(const RtpPacketView& packet, bool lossBefore, std::vector<AccessUnit>& out) override
    {
        const uint8_t* p = packet.payload;
        std::size_t size = packet.size;
        if (size < 8)
            return;
        const uint32_t offset = (uint32_t(p[1]) << 16) | (p[2] << 8) | p[3];
        int type = p[4];
        const int q = p[5];
        const int width = p[6] * 8, height = p[7] * 8;
        p += 8, size -= 8;
        int restartInterval = 0;
        if (type >= 64 && type <= 127) {
            if (size < 4)
                return;
            restartInterval = Be16(p);
            p += 4, size -= 4;
            type -= 64;
        }
        if (lossBefore && _open)
            _unit.corrupt = true;
        if (_open && (packet.timestamp != _unit.timestamp || offset == 0))
            _Finish(out);
        if (offset == 0) {
            std::vector<uint8_t> tables;
            if (q >= 128) {
                if (size < 4)
                    return;
                const std::size_t length = Be16(p + 2);
                if (4 + length > size)
                    return;
                if (length > 0) // a length of zero: the tables sent before for this Q
                    _tables[q - 128].assign(p + 4, p + 4 + length);
                tables = _tables[q - 128];
                p += 4 + length, size -= 4 + length;
            } else {
                tables = _ScaledTables(q);
            }
            if (tables.size() < 64 || (type != 0 && type != 1))
                return;
            _open = true;
            _unit = {};
            _unit.timestamp = packet.timestamp;
            _unit.key = true;
            _unit.corrupt = lossBefore;
            _WriteHeader(type, width, height, restartInterval, tables);
            _expected = 0;
        } else if (!_open) {
            return; // the picture's start was lost: nothing to hand on
        }
        if (offset != _expected)
            _unit.corrupt = true;
        _unit.data.insert(_unit.data.end(), p, p + size);
        _expected = offset + uint32_t(size);
        if (packet.marker || _unit.data.size() > kMaxUnitBytes)
            _Finish(out);
    }

private:
    static std::vector<uint8_t> _ScaledTables(int q)
    {
        q = std::clamp(q, 1, 99);
        const int factor = q < 50 ? 5000 / q : 200 - 2 * q;
        std::vector<uint8_t> tables(128);
        for (int i = 0; i < 64; ++i) {
            tables[std::size_t(i)] = uint8_t(std::clamp((kLumaQuantizer[i] * factor + 50) / 100, 1, 255));
            tables[std::size_t(64 + i)] = uint8_t(std::clamp((kChromaQuantizer[i] * factor + 50) / 100, 1, 255));
        }
        return tables;
    }

    void _Marker(uint8_t code, std::size_t length)
    {
        _unit.data.insert(_unit.data.end(), {0xFF, code, uint8_t(length >> 8), uint8_t(length)});
    }

    void _Huffman(uint8_t classAndId, const uint8_t* bits, const uint8_t* values, std::size_t count)
    {
        _unit.data.push_back(classAndId);
        _unit.data.insert(_unit.data.end(), bits, bits + 16);
        _unit.data.insert(_unit.data.end(), values, values + count);
    }

    void _WriteHeader(int type, int width, int height, int restartInterval, const std::vector<uint8_t>& tables)
    {
        auto& d = _unit.data;
        d.insert(d.end(), {0xFF, 0xD8});
        const std::size_t count = std::min<std::size_t>(tables.size() / 64, 2);
        _Marker(0xDB, 2 + count * 65);
        for (std::size_t i = 0; i < count; ++i) {
            d.push_back(uint8_t(i));
            d.insert(d.end(), tables.begin() + long(i * 64), tables.begin() + long(i * 64 + 64));
        }
        _Marker(0xC4, 2 + 4 * 17 + 12 + 12 + 162 + 162);
        _Huffman(0x00, kDcLumaBits, kDcValues, 12);
        _Huffman(0x10, kAcLumaBits, kAcLumaValues, 162);
        _Huffman(0x01, kDcChromaBits, kDcValues, 12);
        _Huffman(0x11, kAcChromaBits, kAcChromaValues, 162);
        if (restartInterval > 0) {
            _Marker(0xDD, 4);
            d.insert(d.end(), {uint8_t(restartInterval >> 8), uint8_t(restartInterval)});
        }
        const uint8_t chromaTable = count > 1 ? 1 : 0;
        _Marker(0xC0, 17);
        d.insert(d.end(), {8, uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8), uint8_t(width), 3, 1,
                           uint8_t(type == 0 ? 0x21 : 0x22), 0, 2, 0x11, chromaTable, 3, 0x11, chromaTable});
        _Marker(0xDA, 12);
        d.insert(d.end(), {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0});
    }

    void _Finish(std::vector<AccessUnit>& out)
    {
        auto& d = _unit.data;
        if (d.size() < 2 || d[d.size() - 2] != 0xFF || d.back() != 0xD9)
            d.insert(d.end(), {0xFF, 0xD9});
        out.push_back(std::move(_unit));
        _unit = {};
        _open = false;
    }

    bool _open = false;
    AccessUnit _unit;
    uint32_t _expected = 0;
    std::array<std::vector<uint8_t>, 128> _tables; // in-band tables by Q - 128
};

} // namespace

bool ParseRtpPacket(const uint8_t* data, std::size_t size, RtpPacketView& packet)
{
    if (size < 12 || (data[0] >> 6) != 2)
        return false;
    std::size_t header = 12 + 4 * std::size_t(data[0] & 0x0F);
    if (data[0] & 0x10) { // header extension
        if (size < header + 4)
            return false;
        header += 4 + 4 * std::size_t(Be16(data + header + 2));
    }
    std::size_t end = size;
    if (data[0] & 0x20) { // padding
        const std::size_t padding = data[size - 1];
        if (padding == 0 || padding > size)
            return false;
        end -= padding;
    }
    if (header > end)
        return false;
    packet.marker = (data[1] & 0x80) != 0;
    packet.payloadType = data[1] & 0x7F;
    packet.sequence = Be16(data + 2);
    packet.timestamp = (uint32_t(data[4]) << 24) | (uint32_t(data[5]) << 16) | (uint32_t(data[6]) << 8) | data[7];
    packet.ssrc = (uint32_t(data[8]) << 24) | (uint32_t(data[9]) << 16) | (uint32_t(data[10]) << 8) | data[11];
    packet.payload = data + header;
    packet.size = end - header;
    return true;
}

std::optional<MediaFacts> DescribeMedia(const SdpMedia& media)
{
    MediaFacts facts;
    facts.clockRate = media.clockRate;
    facts.frameRate = media.frameRate;
    const std::string& name = media.encoding;
    if (name == "H264") {
        facts.codec = AV_CODEC_ID_H264;
        AppendBase64Units(Text(media, "sprop-parameter-sets"), facts.extradata);
    } else if (name == "H265" || name == "HEVC") {
        facts.codec = AV_CODEC_ID_HEVC;
        for (const char* set : {"sprop-vps", "sprop-sps", "sprop-pps"})
            AppendBase64Units(Text(media, set), facts.extradata);
    } else if (name == "JPEG") {
        facts.codec = AV_CODEC_ID_MJPEG;
    } else if (name == "MP4V-ES") {
        facts.codec = AV_CODEC_ID_MPEG4;
        facts.extradata = DecodeHex(Text(media, "config"));
    } else if (name == "MPEG4-GENERIC") {
        facts.codec = AV_CODEC_ID_AAC;
        facts.extradata = DecodeHex(Text(media, "config"));
    } else if (name == "PCMU" || name == "PCMA") {
        facts.codec = name == "PCMU" ? AV_CODEC_ID_PCM_MULAW : AV_CODEC_ID_PCM_ALAW;
        facts.bitsPerCodedSample = 8;
    } else if (name == "G722") {
        facts.codec = AV_CODEC_ID_ADPCM_G722;
        facts.sampleRate = 16000; // its RTP clock runs at 8 kHz for historic reasons
        facts.bitsPerCodedSample = 4;
    } else if (name.rfind("G726-", 0) == 0) {
        facts.codec = AV_CODEC_ID_ADPCM_G726LE;
        facts.bitsPerCodedSample = std::atoi(name.c_str() + 5) / 8;
    } else if (name == "OPUS") {
        facts.codec = AV_CODEC_ID_OPUS;
        facts.sampleRate = 48000;
    } else {
        return std::nullopt;
    }
    if (facts.clockRate <= 0)
        facts.clockRate = media.kind == "audio" ? 8000 : 90000;
    if (media.kind == "audio") {
        if (facts.sampleRate == 0)
            facts.sampleRate = facts.clockRate;
        facts.channels = std::max(1, media.channels);
    }
    return facts;
}

std::unique_ptr<RtpDepacketizer> MakeDepacketizer(const SdpMedia& media, const MediaFacts& facts)
{
    switch (facts.codec) {
    case AV_CODEC_ID_H264: return std::make_unique<NalAssembler>(false, facts.extradata);
    case AV_CODEC_ID_HEVC: return std::make_unique<NalAssembler>(true, facts.extradata);
    case AV_CODEC_ID_AAC: return std::make_unique<Mpeg4GenericDepacketizer>(media);
    case AV_CODEC_ID_MJPEG: return std::make_unique<JpegDepacketizer>();
    case AV_CODEC_ID_MPEG4: return std::make_unique<FrameDepacketizer>(true, true);
    default: return std::make_unique<FrameDepacketizer>(false, false);
    }
}

} // namespace Quillet
