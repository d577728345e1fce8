#pragma once
// The bounded queue between a camera connection's reader and its user, and
// the stream descriptions the user has been given. A full queue gives up its
// oldest packet. A packet whose configuration differs from the last one
// handed out is marked codecChanged when it is taken (not when it arrives),
// so a change still shows when the packet that brought it was dropped.
//
// Threads: Push from the reader (and the thread in Open while it probes),
// Publish from the thread in Open before the reader starts, Pop, HasPacket
// and Info from any thread, Clear from Shutdown. `_mutex` guards every field
// but the fixed capacity and log prefix; the log line of a drop is written
// under it (lock order: `_mutex` -> the camera log's own lock).
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "camera/MediaPacket.h"

namespace Quillet {

class CameraPacketQueue {
public:
    CameraPacketQueue(std::size_t capacity, std::string logPrefix);

    void Push(std::shared_ptr<MediaPacketStruct> packet, std::shared_ptr<const MediaInfoStruct> info);
    // The description handed out for `type` before any packet was taken:
    // the first queued packet's configuration when it is the same as `info`'s,
    // so that packet does not look like a change.
    void Publish(MediaPacket::MediaType type, std::shared_ptr<const MediaInfoStruct> info);
    std::shared_ptr<MediaPacketStruct> Pop();
    bool HasPacket() const;
    std::unique_ptr<MediaInfoStruct> Info(MediaPacket::MediaType type) const;
    // Drops every packet and description.
    void Clear();

private:
    struct Entry {
        std::shared_ptr<MediaPacketStruct> packet;
        std::shared_ptr<const MediaInfoStruct> info;
    };
    static int _Slot(MediaPacket::MediaType type) { return type == MediaPacket::Audio ? 1 : 0; }

    const std::size_t _capacity;
    const std::string _logPrefix;
    mutable std::mutex _mutex; // guards the members below
    std::deque<Entry> _queue;
    std::array<std::shared_ptr<const MediaInfoStruct>, 2> _published;
    std::array<int32_t, 2> _deliveredConfig{0, 0};
    uint64_t _dropped = 0;
};

} // namespace Quillet
