#pragma once
// Records the camera client hands to its user. The numeric values of the
// enumerations are part of the contract with the engine-side camera source,
// which maps them onto FFmpeg ids; never renumber them.
// Plain records: made on the connection's reader thread, handed through its
// queue to whichever thread reads, and not changed after that.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Quillet {

namespace MediaPacket {

enum MediaType : int32_t { UnknownMedia = 0, Video = 1, Audio = 2 };

enum Frametype : int32_t { OtherFrame = 0, KeyFrame = 1 };

// 2 and 5 are aliases some producers use for H.264 and single-picture JPEG;
// consumers treat them like 1 and 4. This client only emits the others.
enum Codec : int32_t {
    UnknownCodec = 0,
    H264 = 1,
    H264Alias = 2,
    MPEG4 = 3,
    MJPEG = 4,
    JPEG = 5,
    PCMU = 6,
    PCMA = 7,
    G726 = 8,
    AAC = 9,
    HEVC = 10,
    OPUS = 11,
    G722 = 12,
    AACLATM = 13, // AAC in LATM (MP4A-LATM), as some cameras send it
};

enum AVPixelFormat : int32_t { UnknownPixelFormat = 0, Gray8 = 1, YUV420 = 2, YUV422 = 3, YUV444 = 4 };

// 0 means the time is anchored to the camera's RTCP sender reports; anything
// else is this PC's estimate made without them.
enum TimeEstimateTrustIndex : int32_t { SenderReport = 0, FilteredLocalClock = 1, LocalClock = 2 };

} // namespace MediaPacket

struct TimingDataStruct {
    // In the stream's clock (MediaInfoStruct::clockRate ticks per second).
    int64_t timestamp = 0;
    // Wall-clock time of the packet: 100 ns ticks since 1970-01-01 UTC.
    int64_t pcTimeUTC = 0;
    MediaPacket::TimeEstimateTrustIndex trustIndex = MediaPacket::LocalClock;
    // When this PC received the packet, same unit as pcTimeUTC.
    int64_t receivedUTC = 0;
    // The camera sent no timestamp; `timestamp` was interpolated.
    bool timestampEstimated = false;
};

struct MediaPacketStruct {
    MediaPacket::MediaType mediaType = MediaPacket::UnknownMedia;
    MediaPacket::Frametype frameType = MediaPacket::OtherFrame;
    // First packet handed out with a configuration other than the last one
    // handed out for this media type (or than the one reported at connect).
    bool codecChanged = false;
    // Non-zero; changes whenever the codec configuration (parameter sets,
    // extradata) of the stream changes.
    int32_t configId = 0;
    // Packets of it were lost on the way: what arrived is here, and the
    // decoder conceals the rest until the next key picture.
    bool corrupt = false;
    std::shared_ptr<TimingDataStruct> timing;
    int32_t size = 0;
    // Valid while this record lives; owned by `storage`.
    const uint8_t* data = nullptr;
    int32_t streamIndex = -1;
    std::shared_ptr<const void> storage;
};

struct MediaInfoStruct {
    int32_t streamIndex = -1;
    MediaPacket::Codec codec = MediaPacket::UnknownCodec;
    MediaPacket::AVPixelFormat pixelFormat = MediaPacket::UnknownPixelFormat;
    std::string codecName;
    int32_t height = -1; // -1: unknown or corrupt, 0: not yet known
    int32_t width = -1;
    int32_t clockRate = 0;
    int32_t channels = 0;
    int32_t bitRateKbps = 0;
    int32_t sampleRate = 0;
    // Codec configuration: Annex-B parameter sets for H.264/HEVC, the
    // AudioSpecificConfig for AAC.
    std::vector<uint8_t> extradata;
    int32_t configId = 0;
    double frameRate = 0.0; // 0 when the camera did not announce one
};

} // namespace Quillet
