#pragma once
// The decoder descriptions of a camera's streams: one codec context for its
// video and one for its audio, filled from what the camera client describes
// (codec, picture size, RTP clock, parameter sets sent out of band, the AAC
// configuration a camera does not send), and the stream descriptions
// (FFCodecInfo) handed to the graph from them. A codec this library cannot
// carry is refused with a reason naming it.
//
// Threads: no lock of its own; its owner (FFRTSPSource) calls every
// operation with its `_lock` held. Contexts are allocated and freed under
// the process-wide codec lock (lock order: owner's `_lock` -> codec lock).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "camera/MediaPacket.h"
#include "core/FFCodecInfo.h"

namespace Quillet {

class FFMessageClient;

class CameraCodecContexts {
public:
    // Logs through `log`, which outlives this object.
    explicit CameraCodecContexts(const FFMessageClient& log) : _log(log) {}

    // Replace the context of one stream; false (the old one kept) when the
    // description is refused (`refusals` gets the reason) or unusable.
    bool SetVideo(const MediaInfoStruct& info, std::vector<std::string>& refusals);
    bool SetAudio(const MediaInfoStruct& info, std::vector<std::string>& refusals);
    // A stream's description, timed in the RTP clock `clock`; null without a context.
    std::shared_ptr<FFCodecInfo> DescribeVideo(int32_t clock) const;
    std::shared_ptr<FFCodecInfo> DescribeAudio(int32_t clock) const;

    const AVCodecContext* Video() const { return _video.get(); }
    const AVCodecContext* Audio() const { return _audio.get(); }

private:
    // Frees a context under the codec lock and says so in the owner's log.
    struct ContextDeleter {
        const FFMessageClient* log = nullptr;
        void operator()(AVCodecContext* context) const;
    };
    using ContextPtr = std::unique_ptr<AVCodecContext, ContextDeleter>;
    ContextPtr _Allocate(AVMediaType type) const;

    const FFMessageClient& _log;
    ContextPtr _video{nullptr, ContextDeleter{&_log}};
    ContextPtr _audio{nullptr, ContextDeleter{&_log}};
};

} // namespace Quillet
