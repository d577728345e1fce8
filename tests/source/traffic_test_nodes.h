#pragma once

#include "support/TestRecords.h"
// Hand-made records and small graph nodes shared by the traffic-node and
// remote-source tests.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFNode.h"
#include "core/FFPacket.h"

namespace Quillet::TestNodes {

// A destination that keeps everything it receives and answers a settable status.
class RecordingDest : public FFDestNode<FFData> {
public:
    FFStatus FFProcess(std::shared_ptr<FFData> record) override
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _records.push_back(std::move(record));
        return FFStatus(processAnswer.load());
    }
    FFStatus GetStatus() override
    {
        ++statusQuestions;
        const int cap = capacity.load();
        if (cap >= 0 && Count() >= static_cast<size_t>(cap))
            return FFStatus::Full;
        return FFStatus(status.load());
    }
    void Flush() override { ++flushes; }

    std::vector<std::shared_ptr<FFData>> Records() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _records;
    }
    size_t Count() const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        return _records.size();
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _records.clear();
    }

    std::atomic<FFStatus::FFStreamStatus> status{FFStatus::Ready};
    std::atomic<FFStatus::FFStreamStatus> processAnswer{FFStatus::Ready};
    // Answers Full once this many records have arrived; negative: no limit.
    std::atomic<int> capacity{-1};
    std::atomic<int> statusQuestions{0};
    std::atomic<int> flushes{0};

private:
    mutable std::mutex _mutex;
    std::vector<std::shared_ptr<FFData>> _records;
};

// A source pushed by hand, with a settable stream description.
class ManualSource : public FFSourceNode<FFData> {
public:
    std::shared_ptr<FFData> GetMetaInfo() override { return meta; }
    std::vector<FFStatus> Push(std::shared_ptr<FFData> record) { return PushToDestinations(record); }

    std::shared_ptr<FFData> meta;
};

inline std::shared_ptr<FFPacket> MakePacket(FFStreamType type, int64_t pts, bool key, int dataSize = 0,
                                            uint8_t fill = 0xA5)
{
    auto p = std::make_shared<FFPacket>();
    if (dataSize > 0) {
        if (av_new_packet(p->packet.get(), dataSize) < 0)
            throw std::bad_alloc();
        std::memset(p->packet->data, fill, static_cast<size_t>(dataSize));
    }
    p->packet->pts = pts;
    p->packet->dts = pts;
    p->packet->flags = key ? AV_PKT_FLAG_KEY : 0;
    p->packet->stream_index = type == FFStreamType::Audio ? 1 : 0;
    p->streamType = type;
    return p;
}

inline std::shared_ptr<FFPacket> Video(int64_t pts, bool key, int dataSize = 0)
{
    return MakePacket(FFStreamType::Video, pts, key, dataSize);
}

inline std::shared_ptr<FFPacket> Audio(int64_t pts, int dataSize = 0)
{
    return MakePacket(FFStreamType::Audio, pts, true, dataSize);
}

inline std::shared_ptr<FFCodecInfo> VideoInfo(int32_t num, int32_t den)
{
    return Quillet::Testing::VideoDescription(num, den);
}

inline std::shared_ptr<FFCodecInfo> AudioInfo()
{
    return Quillet::Testing::AudioDescription();
}

inline std::shared_ptr<FFAVCodec> Codec(int32_t num = 1, int32_t den = 1000, bool withAudio = false)
{
    return std::make_shared<FFAVCodec>(VideoInfo(num, den), withAudio ? AudioInfo() : nullptr);
}

inline std::shared_ptr<FFSeekInfo> SeekMarker(double t)
{
    return std::make_shared<FFSeekInfo>(t);
}

} // namespace Quillet::TestNodes
