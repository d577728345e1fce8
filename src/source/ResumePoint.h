#pragma once
// Where a network input takes up reading again after a stop cut one of its
// reads short. A read cut short leaves the input marked as failed, the
// demuxer holding part of a packet (its parser may hold it back and hand out
// the whole packet before it instead), and what the cut read returned is not
// to be trusted; read on as it is, the input would end at once or hand out a
// broken packet.
//
// The reader notes the time of each packet it hands on. After the cut, the
// next reader seeks a seekable input back to at or before the newest packet
// handed on, and passes over every packet it handed on already: the input
// goes on with nothing lost and nothing twice. An input that cannot seek (a
// live stream) goes on from where it is: what the demuxer held is dropped,
// and so is everything up to the next video key picture, which the lost
// packets' pictures no longer disturb.
//
// Threads: only the read thread uses it; a new reader starts only after the
// one before it has been joined.
#include <cstdint>
#include <map>
#include <set>

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/avutil.h>
}

namespace Quillet {

class ResumePoint {
public:
    // A packet of `stream` with `time` (TimeOf) was handed on.
    void Delivered(int stream, int64_t time);
    // A packet's decode time, or else its presentation time.
    static int64_t TimeOf(const AVPacket& packet);
    // A seek starts the streams over: nothing handed on before it counts.
    void Forget();
    // The newest time (decode, or else presentation) handed on in `stream`,
    // or AV_NOPTS_VALUE.
    int64_t NewestIn(int stream) const;
    // Sought back: from now on the packets handed on already are passed over,
    // each stream's until its first newer packet.
    void PassOverDelivered();
    // Could not seek back: from now on packets are passed over until a key
    // packet of `videoStream` (none when negative), and those without times.
    void PassOverUntilKeyPicture(int videoStream);
    // True for a packet to drop instead of handing it on.
    bool PassesOver(const AVPacket& packet);

private:
    std::map<int, int64_t> _newest;   // stream index -> newest time handed on
    std::set<int> _passingOver;       // streams still passing over
    int _awaitedKeyIn = -1;           // the video stream awaited, or -1
};

} // namespace Quillet
