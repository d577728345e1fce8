#include "core/FFAVCodec.h"

#include <string>

#include "core/WireBytes.h"

namespace Quillet {

FFAVCodec::FFAVCodec() : FFData(FFType::AVCodec), video(std::make_shared<FFCodecInfo>()) {}

FFAVCodec::FFAVCodec(std::shared_ptr<FFCodecInfo> v, std::shared_ptr<FFCodecInfo> a)
    : FFData(FFType::AVCodec), video(v ? std::move(v) : std::make_shared<FFCodecInfo>()), audio(std::move(a))
{
}

int32_t FFAVCodec::GetSerializedSize() const
{
    return kHeaderSize + video->GetSerializedSize() + (audio ? audio->GetSerializedSize() : 0);
}

void FFAVCodec::WritePayload(WireWriter& w) const
{
    // The parts are complete records of their own, header included.
    auto v = video->Serialize();
    w.PutBytes(kHeaderSize, v->data.get(), static_cast<size_t>(v->size));
    if (audio) {
        auto a = audio->Serialize();
        w.PutBytes(kHeaderSize + static_cast<size_t>(v->size), a->data.get(), static_cast<size_t>(a->size));
    }
}

namespace {

// Reads one embedded codec record at `offset` of the payload; returns its size.
int32_t ReadPart(const WireReader& r, size_t offset, FFCodecInfo& into, const char* which)
{
    const int32_t type = r.I32(offset, which);
    const int32_t size = r.I32(offset + 4, which);
    if (type != static_cast<int32_t>(FFType::CodecInfo))
        throw WireFormatError(std::string("Codec record expected for the ") + which + ", found type " +
                              std::to_string(type));
    if (size < FFData::kHeaderSize || static_cast<size_t>(size) > r.Size() - offset)
        throw WireFormatError(std::string("The ") + which + " record claims " + std::to_string(size) +
                              " bytes, more than its block holds");
    into.Deserialize(r.At(offset + FFData::kHeaderSize, static_cast<size_t>(size) - FFData::kHeaderSize, which),
                     size - FFData::kHeaderSize);
    return size;
}

} // namespace

void FFAVCodec::Deserialize(const uint8_t* payload, int32_t length)
{
    if (length < 0)
        throw WireFormatError("Codec record with a negative length");
    WireReader r(payload, static_cast<size_t>(length));
    auto v = std::make_shared<FFCodecInfo>();
    const int32_t videoSize = ReadPart(r, 0, *v, "video description");
    std::shared_ptr<FFCodecInfo> a;
    if (videoSize < length) {
        a = std::make_shared<FFCodecInfo>();
        const int32_t audioSize = ReadPart(r, static_cast<size_t>(videoSize), *a, "audio description");
        if (videoSize + audioSize != length)
            throw WireFormatError("Stream description followed by " + std::to_string(length - videoSize - audioSize) +
                                  " stray bytes");
    }
    video = std::move(v);
    audio = std::move(a);
}

} // namespace Quillet
