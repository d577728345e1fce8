#pragma once
// One open connection (or HLS playlist) of a publishing output: stream copy
// of a source's video and audio into the protocol's muxer. Used by the
// publishing sink's worker thread only; not thread-safe. Every blocking
// network call gives up as soon as the sink's stop flag is raised.
#include <atomic>
#include <cstdint>
#include <memory>

#include "core/BitstreamConversion.h"
#include "core/FFAVCodec.h"
#include "events/FFMessageClient.h"
#include "publish/PublishTarget.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace Quillet {

class PublishMuxer : public FFMessageClient {
public:
    // `stop` outlives the muxer; raising it ends any blocking call.
    PublishMuxer(const PublishTarget& target, const std::atomic<bool>& stop);
    ~PublishMuxer() override;
    PublishMuxer(const PublishMuxer&) = delete;
    PublishMuxer& operator=(const PublishMuxer&) = delete;

    // Connects and writes the header for `codec`'s streams. Throws on
    // refusal, a lost connection or an unusable description.
    void Open(std::shared_ptr<FFAVCodec> codec);
    // Writes one packet whose times are in the source stream's time base and
    // already re-timed to the output's zero (the muxer takes its reference),
    // in the bitstream form the container needs.
    // Throws when the output can take no more.
    void Write(AVPacket* packet, FFStreamType type);
    // Trailer and close; safe repeatedly. A closed connection is not reported.
    void Close();

    bool IsOpen() const { return _headerWritten; }
    bool HasAudio() const { return _audio != nullptr; }
    std::shared_ptr<FFAVCodec> Codec() const { return _codec; }

private:
    struct ContextDeleter {
        void operator()(AVFormatContext* context) const;
    };
    static int Interrupted(void* self);
    AVStream* _AddStream(const FFCodecInfo& source, std::unique_ptr<BitstreamConversion>& conversion);
    AVDictionary* _MuxerOptions() const;

    // The sink worker's alone (see the header); `_stop` is the sink's flag,
    // raised from any thread.
    const PublishTarget _target;
    const std::atomic<bool>& _stop;
    std::unique_ptr<AVFormatContext, ContextDeleter> _context;
    std::shared_ptr<FFAVCodec> _codec;
    AVStream* _video = nullptr;
    AVStream* _audio = nullptr;
    // The bitstream form each stream needs in the protocol's container.
    std::unique_ptr<BitstreamConversion> _videoConversion;
    std::unique_ptr<BitstreamConversion> _audioConversion;
    bool _headerWritten = false;
};

} // namespace Quillet
