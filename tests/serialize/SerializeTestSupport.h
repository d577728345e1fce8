#pragma once

#include "support/TestRecords.h"
// Shared helpers for the serializer and queue tests: a source with a settable
// description, a destination that remembers what it received, a messenger
// whose log lines can be inspected, and record builders.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>

#include "core/FFAVCodec.h"
#include "core/FFControlInfo.h"
#include "core/FFNode.h"
#include "core/FFPacket.h"
#include "events/FFMessenger.h"

namespace Quillet::Testing {

// Keeps every line logged to its category, with its priority.
class CaptureAppender : public log4cpp::AppenderSkeleton {
public:
    CaptureAppender() : log4cpp::AppenderSkeleton("capture") {}
    void close() override {}
    bool reopen() override { return true; }
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout*) override {}

    std::vector<std::pair<int, std::string>> Lines() const
    {
        std::lock_guard<std::mutex> g(_m);
        return _lines;
    }
    size_t Count(const std::string& text, int priority = -1) const
    {
        std::lock_guard<std::mutex> g(_m);
        return static_cast<size_t>(std::count_if(_lines.begin(), _lines.end(), [&](const auto& l) {
            return l.second == text && (priority < 0 || l.first == priority);
        }));
    }
    void Clear()
    {
        std::lock_guard<std::mutex> g(_m);
        _lines.clear();
    }

protected:
    void _append(const log4cpp::LoggingEvent& e) override
    {
        std::lock_guard<std::mutex> g(_m);
        _lines.emplace_back(e.priority, e.message);
    }

private:
    mutable std::mutex _m;
    std::vector<std::pair<int, std::string>> _lines;
};

// A messenger on a category of its own, logging everything to a capture.
class CapturingMessenger : public FFMessenger {
public:
    explicit CapturingMessenger(const std::string& name) : FFMessenger(name)
    {
        Category().setPriority(log4cpp::Priority::DEBUG);
        Category().setAdditivity(false);
        Category().addAppender(capture);
    }
    ~CapturingMessenger() override { Category().removeAppender(&capture); }

    CaptureAppender capture;
};

// A media source whose description the test sets and whose pushes it drives.
class FakeSource : public FFSourceNode<FFData> {
public:
    std::shared_ptr<FFData> GetMetaInfo() override { return meta; }
    std::shared_ptr<FFData> meta;
};

// Remembers every record pointer it receives.
class RecordingDestination : public FFDestNode<FFSerializedData> {
public:
    FFStatus FFProcess(std::shared_ptr<FFSerializedData> record) override
    {
        received.push_back(std::move(record));
        return FFStatus::Ready;
    }
    std::vector<std::shared_ptr<FFSerializedData>> received;
};

// Counts how often it is flattened.
class CountingEOS : public FFEOSInfo {
public:
    std::shared_ptr<FFSerializedData> Serialize() const override
    {
        ++serializations;
        return FFEOSInfo::Serialize();
    }
    mutable std::atomic<int> serializations{0};
};

inline std::shared_ptr<FFPacket> MakePacketRecord(int size, int flags, FFStreamType st, int64_t pts = 0)
{
    auto p = std::make_shared<FFPacket>();
    if (size > 0) {
        if (av_new_packet(p->Get(), size) < 0)
            throw std::bad_alloc();
        for (int i = 0; i < size; ++i)
            p->Get()->data[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    p->Get()->flags = flags;
    p->Get()->pts = pts;
    p->Get()->dts = pts;
    p->SetStreamType(st);
    return p;
}

inline std::shared_ptr<FFCodecInfo> MakeVideoDescription(int extraData = 0)
{
    return Quillet::Testing::VideoDescription(1, 12800, extraData);
}

inline std::shared_ptr<FFCodecInfo> MakeAudioDescription()
{
    return Quillet::Testing::AudioDescription();
}

// A bare serialized record of the given attribute, tagged so tests can tell
// records apart: int32 tag at offset 12.
inline std::shared_ptr<FFSerializedData> Tagged(FFAttribute attribute, int32_t tag)
{
    auto s = std::make_shared<FFSerializedData>();
    s->size = 16;
    s->attribute = attribute;
    s->data = std::make_unique<uint8_t[]>(16);
    std::memcpy(s->data.get() + 12, &tag, 4);
    return s;
}

inline int32_t TagOf(const FFSerializedData& s, size_t offset = 0)
{
    int32_t tag;
    std::memcpy(&tag, s.data.get() + offset + 12, 4);
    return tag;
}

inline int32_t I32At(const uint8_t* p, size_t offset)
{
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(p[offset + i]) << (8 * i);
    return static_cast<int32_t>(v);
}

} // namespace Quillet::Testing
