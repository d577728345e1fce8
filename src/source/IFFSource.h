#pragma once
// What the engines need of a media source, whether it reads a file/URL or a
// live camera: open and close, a read thread that pushes records into the
// graph, stream facts and repositioning.
#include <cstdint>
#include <memory>
#include <string>

#include "core/FFData.h"
#include "core/FFNode.h"
#include "events/FFMessageClient.h"
#include "source/FFSourceSettings.h"
#include "source/OpenFailure.h"
#include "source/SourceInterrupt.h"

namespace Quillet {

enum class FFCommandType : int32_t {
    ReadFrame = 1,
    Seek = 2,
};

// One entry of a read thread's work queue.
struct FFSourceCommand {
    explicit FFSourceCommand(FFCommandType t) : type(t) {}
    virtual ~FFSourceCommand() = default;

    FFCommandType type;
};

// Read (and push) the next packet. One of these circulates while the thread runs.
struct FFReadFrameCommand : FFSourceCommand {
    FFReadFrameCommand() : FFSourceCommand(FFCommandType::ReadFrame) {}
};

// Reposition to `time` seconds and announce it downstream.
struct FFSeekCommand : FFSourceCommand {
    explicit FFSeekCommand(double seconds) : FFSourceCommand(FFCommandType::Seek), time(seconds) {}

    double time;
};

class IFFSource : public FFSourceNode<FFData>, public FFMessageClient {
public:
    ~IFFSource() override = default;

    // GetMetaInfo (from FFSourceNode) answers the source's FFAVCodec.

    virtual bool OpenSource(const std::string& url) = 0;
    virtual void SetSourceSettings(std::shared_ptr<FFSourceSettings> settings) = 0;
    virtual void CloseSource() = 0;
    virtual void StartReadThread() = 0;
    // Marks the stop and ends the reader's waits and blocking reads; never
    // waits itself, so it may be called under the engine's lock.
    virtual void RequestStop() = 0;
    // Stops the read thread and waits for it to end; call with no lock held
    // that an event handler on the read thread may need. False when called
    // on the read thread itself (a handler): the stop is marked, the thread
    // ends when the handler returns, and a later call from another thread
    // (or the thread's own exit) completes it.
    virtual bool StopReadThread() = 0;
    virtual bool IsReading() = 0;
    virtual bool IsOpen() = 0;
    virtual int Width() = 0;
    virtual int Height() = 0;
    virtual int RenderWidth() = 0;
    virtual int RenderHeight() = 0;
    virtual bool HasAudio() = 0;
    virtual bool GetAudioFormat(int* rate, int* bits, int* channels) = 0;
    virtual double GetDuration() = 0;
    virtual void Seek(double seconds) = 0;

    // Given before OpenSource: the engine's interrupt and the network
    // timeout. Sources with timeouts of their own (cameras) ignore them.
    virtual void SetInterrupt(std::shared_ptr<SourceInterrupt>, double /*networkTimeoutSeconds*/) {}
    // Why the last OpenSource failed (None after a success).
    virtual OpenFailure LastOpenFailure() const { return OpenFailure::Other; }
};

} // namespace Quillet
