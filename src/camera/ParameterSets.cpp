#include "camera/ParameterSets.h"

#include <algorithm>

namespace Quillet {
namespace {

enum class SetKind { None, Vps, Sps, Pps };

SetKind KindOf(AVCodecID codec, const uint8_t* nal, std::size_t size)
{
    if (size == 0)
        return SetKind::None;
    if (codec == AV_CODEC_ID_H264) {
        switch (nal[0] & 0x1F) {
        case 7: return SetKind::Sps;
        case 8: return SetKind::Pps;
        default: return SetKind::None;
        }
    }
    if (codec == AV_CODEC_ID_HEVC) {
        switch ((nal[0] >> 1) & 0x3F) {
        case 32: return SetKind::Vps;
        case 33: return SetKind::Sps;
        case 34: return SetKind::Pps;
        default: return SetKind::None;
        }
    }
    return SetKind::None;
}

// Repeats are dropped: FFmpeg puts the SDP's sets in front of the first key
// frame, which usually carries the same sets again.
void AddUnique(std::vector<NalUnit>& list, const uint8_t* nal, std::size_t size)
{
    for (const NalUnit& known : list)
        if (known.size() == size && std::equal(known.begin(), known.end(), nal))
            return;
    list.emplace_back(nal, nal + size);
}

void Add(SetKind kind, const uint8_t* nal, std::size_t size, ParameterSets& sets)
{
    switch (kind) {
    case SetKind::Vps: AddUnique(sets.vps, nal, size); break;
    case SetKind::Sps: AddUnique(sets.sps, nal, size); break;
    case SetKind::Pps: AddUnique(sets.pps, nal, size); break;
    case SetKind::None: break;
    }
}

// Calls visit(nal, size) for every NAL unit of an Annex-B byte stream. Runs
// over every packet, so it only looks and never copies.
template <typename Visit>
void ForEachAnnexBNal(const uint8_t* data, std::size_t size, Visit visit)
{
    std::size_t i = 0;
    std::size_t start = std::size_t(-1);
    while (i + 2 < size) {
        if (data[i + 2] > 1) {
            i += 3; // no start code can end in this window
        } else if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (start != std::size_t(-1)) {
                std::size_t end = i;
                while (end > start && data[end - 1] == 0) // zero_byte of a 4-byte code
                    --end;
                visit(data + start, end - start);
            }
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != std::size_t(-1) && start < size)
        visit(data + start, size - start);
}

// avcC: version, profile, compat, level, length size, then counted SPS and
// PPS lists with 16-bit lengths. Stops quietly at a truncated record.
std::vector<NalUnit> SplitAvcC(const uint8_t* data, std::size_t size)
{
    std::vector<NalUnit> units;
    std::size_t pos = 5;
    for (int list = 0; list < 2 && pos < size; ++list) {
        const int count = list == 0 ? (data[pos] & 0x1F) : data[pos];
        ++pos;
        for (int i = 0; i < count; ++i) {
            if (pos + 2 > size)
                return units;
            const std::size_t length = (std::size_t(data[pos]) << 8) | data[pos + 1];
            pos += 2;
            if (pos + length > size)
                return units;
            units.emplace_back(data + pos, data + pos + length);
            pos += length;
        }
    }
    return units;
}

void AppendWithStartCode(std::vector<uint8_t>& out, const std::vector<NalUnit>& units)
{
    for (const NalUnit& nal : units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), nal.begin(), nal.end());
    }
}

} // namespace

std::vector<uint8_t> ParameterSets::ToAnnexB() const
{
    std::vector<uint8_t> out;
    AppendWithStartCode(out, vps);
    AppendWithStartCode(out, sps);
    AppendWithStartCode(out, pps);
    return out;
}

bool HasParameterSets(AVCodecID codec)
{
    return codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC;
}

std::vector<NalUnit> SplitAnnexB(const uint8_t* data, std::size_t size)
{
    std::vector<NalUnit> units;
    if (data != nullptr)
        ForEachAnnexBNal(data, size, [&](const uint8_t* nal, std::size_t n) { units.emplace_back(nal, nal + n); });
    return units;
}

ParameterSets FindParameterSets(AVCodecID codec, const uint8_t* data, std::size_t size)
{
    ParameterSets sets;
    if (!HasParameterSets(codec) || data == nullptr || size == 0)
        return sets;
    if (codec == AV_CODEC_ID_H264 && size > 6 && data[0] == 1) {
        for (const NalUnit& nal : SplitAvcC(data, size))
            Add(KindOf(codec, nal.data(), nal.size()), nal.data(), nal.size(), sets);
        return sets;
    }
    ForEachAnnexBNal(data, size, [&](const uint8_t* nal, std::size_t n) { Add(KindOf(codec, nal, n), nal, n, sets); });
    return sets;
}

bool HasKeyPicture(AVCodecID codec, const uint8_t* data, std::size_t size)
{
    bool key = false;
    if (data == nullptr || !HasParameterSets(codec))
        return false;
    ForEachAnnexBNal(data, size, [&](const uint8_t* nal, std::size_t n) {
        if (n == 0)
            return;
        if (codec == AV_CODEC_ID_HEVC) {
            const int type = (nal[0] >> 1) & 0x3F;
            key = key || (type >= 16 && type <= 23);
        } else {
            key = key || (nal[0] & 0x1F) == 5;
        }
    });
    return key;
}

bool HasPicture(AVCodecID codec, const uint8_t* data, std::size_t size)
{
    if (!HasParameterSets(codec) || data == nullptr || size == 0)
        return size > 0;
    bool units = false, picture = false;
    ForEachAnnexBNal(data, size, [&](const uint8_t* nal, std::size_t n) {
        if (n == 0)
            return;
        units = true;
        const int type = codec == AV_CODEC_ID_HEVC ? (nal[0] >> 1) & 0x3F : nal[0] & 0x1F;
        picture = picture || (codec == AV_CODEC_ID_HEVC ? type <= 31 : type >= 1 && type <= 5);
    });
    return picture || !units; // bytes that are not Annex-B are the decoder's to judge
}

ParameterSets MergeParameterSets(const ParameterSets& current, const ParameterSets& update)
{
    ParameterSets merged = current;
    if (!update.vps.empty())
        merged.vps = update.vps;
    if (!update.sps.empty())
        merged.sps = update.sps;
    if (!update.pps.empty())
        merged.pps = update.pps;
    return merged;
}

} // namespace Quillet
