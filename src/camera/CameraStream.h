#pragma once
// One stream of a camera connection as the reader follows it: its
// description, its codec configuration (parameter sets from the session
// description and in-band; a new configuration id whenever any of them
// changes), which pictures are key pictures, and where packets that came
// without a timestamp belong.
//
// Threads: a CameraStream belongs to its connection's reader (before the
// reader starts, to the thread in Open); it has no lock of its own. The
// descriptions it hands out are immutable and may go to any thread.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
}

#include "camera/MediaPacket.h"
#include "camera/PacketClock.h"
#include "camera/ParameterSets.h"
#include "camera/RtpDepacketizer.h"

namespace Quillet {

struct CameraPacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using CameraPacketPtr = std::unique_ptr<AVPacket, CameraPacketDeleter>;

struct PictureFacts {
    int width = 0;
    int height = 0;
    ::AVPixelFormat format = AV_PIX_FMT_NONE;
};

// A packet ready to be handed out, with the time it was given.
struct PlacedPacket {
    CameraPacketPtr packet;
    int64_t timestamp = 0;
    bool estimated = false;
    int64_t receivedUs = 0;
    std::shared_ptr<const MediaInfoStruct> info;
};

class CameraStream {
public:
    CameraStream(int streamIndex, const MediaFacts& facts, MediaPacket::MediaType mediaType, bool filterTimes);

    std::shared_ptr<const MediaInfoStruct> Describe() const;
    bool PictureKnown() const { return _picture.width > 0 && _picture.height > 0; }
    // Follows the configuration the packet carries; a log line when a new
    // configuration begins, else empty.
    std::string TrackConfiguration(const AVPacket& packet);
    // Whether the picture is coded as a key picture: for H.264 and H.265 when
    // it holds an IDR or IRAP unit, for other codecs the depacketizer's flag.
    // Whether anything may start at it is IsCleanKey's answer
    // (core/KeyPicture.h) once the flag is set.
    bool IsKey(const AVPacket& packet) const;
    // The packets (none, one or two) that can go out now: a packet without
    // any time waits for the next one to show where it belongs.
    std::vector<PlacedPacket> Place(CameraPacketPtr packet, int64_t receivedUs);

    const int index;
    const MediaPacket::MediaType type;
    const AVCodecID codecId;
    const AVRational timeBase;
    PacketClock clock;
    std::shared_ptr<const MediaInfoStruct> info; // the current configuration's
    bool sawKey = false;
    bool emittedAny = false;

private:
    // The reader's alone (see the header): the current configuration and what
    // the packets seen so far taught about it.
    const MediaFacts _facts;
    double _frameRate;
    int64_t _frameDuration = 1;
    int32_t _configId = 1;
    std::vector<uint8_t> _extradata;
    ParameterSets _sets;
    PictureFacts _picture;
    int _sizeParses = 0;

    bool _hasLastTimestamp = false;
    int64_t _lastTimestamp = 0;
    PlacedPacket _held; // a packet without any timestamp
};

} // namespace Quillet
