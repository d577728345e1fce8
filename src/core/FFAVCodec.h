#pragma once
// The codec description of a whole source: its video stream and, when it has
// one, its audio stream. Built by a source on its thread, then shared
// read-only with every destination; no lock (see FFData.h).
#include <memory>

#include "core/FFCodecInfo.h"

namespace Quillet {

class FFAVCodec : public FFData {
public:
    // Holds an empty video description and no audio.
    FFAVCodec();
    FFAVCodec(std::shared_ptr<FFCodecInfo> v, std::shared_ptr<FFCodecInfo> a);

    int32_t GetSerializedSize() const override;
    FFAttribute GetAttribute() const override { return FFAttribute::Codec; }
    void Deserialize(const uint8_t* payload, int32_t length) override;

    std::shared_ptr<FFCodecInfo> video;
    std::shared_ptr<FFCodecInfo> audio;

protected:
    void WritePayload(WireWriter& w) const override;
};

} // namespace Quillet
