#pragma once
// The destination node that publishes a source to one network output (or
// HLS playlist) by stream copy. Sits beside the recording sink on the same
// source.
//
// Threads: the source's read thread calls FFProcess/GetStatus/Flush/
// DisconnectFromSource and only queues; one worker thread per sink owns the
// muxer, connects, writes, and retries after a failure with a capped,
// jittered back-off. Start/Stop/Status come from the engine (any thread but
// the worker; Stop from the worker only raises the stop flag).
// Locks: _queueLock guards _queue, _queueVideoTb and _status; the muxer and
// every field marked "worker" are touched by the worker thread only. Taking a
// record, a flush, a stop and a state change ring the source's room signal
// (FFNode.h) after _queueLock is let go, so a held-back source goes on.
//
// Queue: at most kPublishingBacklog (core/BacklogBounds.h). A live
// source is never held back: beyond the limit, and always while the output
// is down, the queue drops to its newest video key picture. A file source is
// held back (Full) instead while the output is connecting or connected, so
// every packet from the first key picture on goes out.
//
// End: once a file source has ended, an output that cannot connect gets one
// more back-off cycle to deliver what it still queues, then fails, so that a
// publisher whose server is gone ends. A live source never ends.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "core/BacklogBounds.h"
#include "core/FFNode.h"
#include "core/FFThread.h"
#include "core/FFPacket.h"
#include "events/FFMessageClient.h"
#include "publish/PublishMuxer.h"
#include "publish/PublishStatus.h"
#include "publish/PublishTarget.h"

namespace Quillet {

// Waits between connection attempts: `first`, doubling up to `limit`.
struct PublishBackoff {
    std::chrono::milliseconds first{1000};
    std::chrono::milliseconds limit{30000};
};

class PublishSink : public FFDestNode<FFData>, public FFMessageClient {
public:
    // `liveSource`: never hold the source back. `paced`: send a file source
    // at the speed it plays (a server expects a live stream).
    PublishSink(PublishTarget target, bool liveSource, bool paced, PublishBackoff backoff = {});
    ~PublishSink() override;
    PublishSink(const PublishSink&) = delete;
    PublishSink& operator=(const PublishSink&) = delete;

    void Start();
    // Ends the worker (interrupting a connection attempt or back-off wait)
    // and closes the output. From the worker itself it only raises the flag.
    void Stop();
    // Raises the stop flag and wakes the worker; never waits.
    void RequestStop();

    FFStatus FFProcess(std::shared_ptr<FFData> record) override;
    FFStatus GetStatus() override;
    void Flush() override;
    // The source goes away: what is queued is dropped and the output closed.
    void DisconnectFromSource() override;

    // Whether the source connected next is a live camera (any thread).
    void SetLiveSource(bool live) { _live = live; }
    PublishStatus Status() const;
    const PublishTarget& Target() const { return _target; }
    bool IsWorkerThread() const { return _worker.IsCurrentThread(); }
    // True once the worker has ended (or never ran): a Stop then waits for nothing.
    bool HasEnded() const { return !_worker.IsRunning(); }

private:
    PublishState _State() const;
    void _Run();
    std::shared_ptr<FFData> _NextRecord();
    void _Handle(const std::shared_ptr<FFData>& record);
    void _Connect();
    bool _WaitUntil(std::chrono::steady_clock::time_point when);
    void _ConnectionFailed(const std::exception& e);
    void _GiveUp(const std::string& why);
    void _SetState(PublishState state, const std::string& message);
    void _TakeDescription(const std::shared_ptr<FFData>& record);
    void _SendPacket(const FFPacket& packet);
    void _StartOrRebase(const AVPacket* p);
    void _Pace(int64_t dts, AVRational tb);
    void _CloseOutput();

    bool _OverLimit() const;
    bool _MayHoldSource() const;
    void _TrimToNewestKey();

    // Fixed at construction, or atomic: read by every thread without a lock.
    const PublishTarget _target;
    std::atomic<bool> _live;
    const bool _paced;
    const PublishBackoff _backoff;
    std::atomic<bool> _stop{false};
    threadex _worker{"publish"};

    // Guarded by `_queueLock`; `_wake` tells the worker a record, a stop or a
    // flush came.
    mutable std::mutex _queueLock;
    std::condition_variable _wake;
    std::deque<std::shared_ptr<FFData>> _queue;
    AVRational _queueVideoTb{1, 90000};
    PublishStatus _status;
    bool _sourceEnded = false; // an end of stream came and nothing after it

    // worker
    PublishMuxer _muxer;
    std::shared_ptr<FFAVCodec> _codec;
    bool _everConnected = false;
    int _failures = 0;
    bool _lastCycle = false; // the back-off under way is the one after the source ended
    std::chrono::steady_clock::time_point _retryAt{};
    std::mt19937 _jitter{std::random_device{}()};
    bool _started = false;        // the output has its first key picture
    bool _rebase = false;         // the source jumped: re-time at the next key picture
    int64_t _offset = 0;          // subtracted from video times (video time base)
    int64_t _nextVideoDts = 0;    // where the next video packet belongs after a jump
    std::chrono::steady_clock::time_point _paceStart{};
};

} // namespace Quillet
