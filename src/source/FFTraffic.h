#pragma once
// The filter between a playback source and its decoder. It forwards every
// record unchanged and carries the player's pause state. When the user seeks
// while paused it lets through only the "band" of video packets needed for one
// picture: from the first key frame at the new position up to and including
// the next key frame. Everything after that is held back until playback
// continues, and the band stays known, so that scrubbing inside it again needs
// no new reading.
//
// FFProcess runs on the source's read thread; every other operation runs on an
// application thread under the engine's lock. All state is guarded by _lock,
// which is never held while a downstream node is called. An operation that
// may end a Full or Paused answer rings the source's room signal after it let
// go of _lock (FFNode.h).
#include <memory>
#include <mutex>

#include "core/FFData.h"
#include "core/FFNode.h"
#include "events/FFMessageClient.h"

namespace Quillet {

class FFPacket;
class FFSeekInfo;

class FFTraffic : public FFNode<FFData, FFData>, public FFMessageClient {
public:
    FFTraffic() = default;
    ~FFTraffic() override = default;
    FFTraffic(const FFTraffic&) = delete;
    FFTraffic& operator=(const FFTraffic&) = delete;

    // Destination side.
    FFStatus FFProcess(std::shared_ptr<FFData> record) override;
    FFStatus GetStatus() override;
    void Flush() override;

    // Source side: the description of whatever feeds this node.
    std::shared_ptr<FFData> GetMetaInfo() override;

    // Engine side.
    void Pause();
    void Continue();
    bool IsPaused() const;
    void ClearState();
    void SetOptimizeSeek(bool optimize);
    bool MayDeliverPicture() const;
    bool MayDeliverAudio() const;
    // The engine asked the source for a seek to `seconds` whose marker has
    // not passed yet: what is queued downstream is stale, so nothing is
    // delivered until that marker arrives (or the state is reset). The source
    // keeps only the newest of the seeks it has not started, so the newest
    // request is the one that counts; an older seek's marker, passing
    // meanwhile, leaves the gate closed.
    void SeekRequested(double seconds);
    void PictureDelivered();
    void NoPictureTaken();
    // True when `seconds` lies outside the band read since the last seek.
    // False with `later` set to true while the band is still growing towards
    // `seconds`; `later` is not written otherwise.
    bool IsOOB(bool& later, double seconds) const;

private:
    static constexpr double kNoTime = -1.0;

    // Bookkeeping for each record type; called with _lock held. The packet
    // step answers false when the packet must be dropped.
    void _OnSeek(FFSeekInfo& seek);
    void _OnEndOfStream();
    bool _OnPacket(const FFPacket& packet);
    bool _FillingBandAfterPausedSeek() const;
    void _ResetBandTimes();

    // Every field below is guarded by `_lock` (see the header).
    int _state = FFStatus::Ready;
    int _savedState = FFStatus::Ready;
    mutable std::recursive_mutex _lock;
    bool _optimizeSeek = true;
    // 0 no band, 1 its first key frame has passed, 2 complete.
    int _bandPhase = 0;
    int32_t _timeBaseNum = 0;
    int32_t _timeBaseDen = 1;
    double _bandStart = kNoTime;
    double _bandEnd = kNoTime;
    double _bandLastTime = kNoTime;
    bool _pictureDelivered = false;
    // A non-key video packet has passed since the band's first key frame.
    bool _bandFlag = false;
    bool _seekRequested = false;
    // The time of the newest seek requested; its marker carries it unchanged.
    double _requestedTime = 0.0;
    // A seek marker has passed this node but not yet reached the decoder:
    // until it has, the decoder still holds pictures from before the seek,
    // and a read in between would show one of them and end the seek.
    bool _markerInFlight = false;
};

} // namespace Quillet
