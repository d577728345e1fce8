#pragma once
// The optional CSV log of every packet a camera connection hands on with its
// times (media timestamp, wall-clock estimate, arrival, trust), written for
// checking a camera's clock after the fact.
//
// Threads: belongs to its connection: opened by the thread in Open, written
// by the reader (and by Open's thread while it probes), closed by Shutdown
// after the reader was joined; no lock.
#include <fstream>
#include <string>

#include "camera/MediaPacket.h"

namespace Quillet {

class CameraTimingLog {
public:
    // Creates rtsp-timing-<UTC time>-<n>.csv in `folder` (the working
    // folder when empty); says in the camera log where, or that it cannot.
    void Open(const std::string& folder, const std::string& logPrefix);
    void Write(const MediaPacketStruct& packet);
    void Close();

private:
    std::ofstream _file;
};

} // namespace Quillet
