#pragma once
// The full description of one elementary stream: a codec context of its own
// (never shared with the context it was copied from) plus the stream's time
// base, disposition and kind. Built on the thread that reads the source and
// read-only once pushed, so shared by every thread without a lock; its
// context is freed under the codec lock (FFAVPtr.h).
#include "core/FFAVPtr.h"
#include "core/FFData.h"

namespace Quillet {

class FFCodecInfo : public FFData {
public:
    // 12 header + 984 fixed part + 16 zero bytes after the extra data.
    static constexpr int32_t kBaseSize = 1012;
    static constexpr int32_t kImageOffset = 20;
    static constexpr int32_t kExtraDataOffset = 996;

    FFCodecInfo();
    // Deep copy of `context`: later changes to either side do not reach the other.
    explicit FFCodecInfo(const AVCodecContext* context);
    // The description of a demuxed stream, with the stream's time base.
    static std::shared_ptr<FFCodecInfo> FromStream(const AVStream* stream);

    void SetStreamType(FFStreamType t) { streamType = t; }
    FFStreamType GetStreamType() const { return streamType; }
    AVCodecContext* Context() const { return codecContext.get(); }
    AVRational TimeBase() const { return AVRational{timeBaseNum, timeBaseDen}; }

    // Replaces the context by a fresh one for `codec`, carrying the same
    // description; returns 0 or a negative FFmpeg error.
    int ResetForCodec(const AVCodec* codec);
    // A new context for `codec` carrying this description, ready to open.
    AVCodecContextPtr CopyContext(const AVCodec* codec) const;

    int32_t GetSerializedSize() const override;
    FFAttribute GetAttribute() const override { return FFAttribute::Codec; }
    void Deserialize(const uint8_t* payload, int32_t length) override;

    AVCodecContextPtr codecContext;
    int32_t timeBaseNum = 0;
    int32_t timeBaseDen = 1;
    int32_t disposition = 0;
    FFStreamType streamType = FFStreamType::None;

protected:
    void WritePayload(WireWriter& w) const override;
};

// Copies everything that describes the stream from `src` into `dst`
// (parameters, time base, matrices, rate-control settings). Throws on failure.
void CopyCodecDescription(AVCodecContext* dst, const AVCodecContext* src);

} // namespace Quillet
