#pragma once
// What the application sees besides the facades themselves: enumerations,
// the picture record, camera settings, event arguments and the handler type.
// Public header: standard library only.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../core/EventCodes.h"
#include "../publish/PublishStatus.h"
#include "../source/FFSourceSettings.h"
#include "../Export.h"

/// The library's own namespace; applications use the classes of Quillet::FFWrapperCLI.
namespace Quillet {}

/// The application-facing interface: the facades, their records and their events.
namespace Quillet::FFWrapperCLI {

/// Pixel formats accepted by FFWrapper::DecodeVideo. The numbers are FFmpeg's AVPixelFormat values,
/// so an application that includes <libavutil/pixfmt.h> may pass AV_PIX_FMT_RGB24 or
/// AV_PIX_FMT_BGR24 instead; these names spare it the FFmpeg headers.
namespace PixelFormat {
/// Packed 24-bit RGB, 3 bytes per pixel in the order red, green, blue (AV_PIX_FMT_RGB24).
constexpr int RGB24 = 2;
/// Packed 24-bit BGR, 3 bytes per pixel in the order blue, green, red (AV_PIX_FMT_BGR24).
constexpr int BGR24 = 3;
} // namespace PixelFormat

/// What an FFMessageEventArgs reports (defined with the library's event numbers).
using Quillet::FFMessageType;

/// State of a live camera connection (defined with the library's event numbers).
using Quillet::ConnectionStatus;

/// How a player reads a live camera when the application reads slower than the camera sends (see
/// FFWrapper::SetLiveReading). The camera itself never waits: recording and serving get every
/// packet whatever the player does. Files are always read picture by picture.
enum class LiveReading : int {
    /// Always the newest picture the camera has sent (the default): when the reader falls behind,
    /// the queued pictures before it are given up and counted as missed.
    Newest = 0,
    /// Every picture in order, held up to about 10 s of the camera's pictures or 64 MB; past that
    /// bound the queued ones are given up and reading goes on from the newest key picture.
    Every = 1,
};

/// One picture handed to the application by FFWrapper::ReadFrameGetSize. A new instance holds no
/// picture. Not shared between threads by the library: the reading thread owns it.
class QUILLET_EXPORT FrameData {
public:
    /// The pixels, packed rows without padding in the format asked for with FFWrapper::DecodeVideo.
    /// Keeps its storage (same data pointer) while the size and dimensions stay the same.
    std::vector<uint8_t> frame;
    /// The picture's media time in seconds.
    double frameTime = 0.0;
    /// Width of the picture in pixels.
    int32_t width = 0;
    /// Height of the picture in pixels.
    int32_t height = 0;
    /// True for the first picture after an open or a seek.
    bool firstFrame = false;
    /// Byte size of the picture in `frame`.
    int32_t size = 0;
    /// `status` while a seek is pending (QUILLET_PICTURE_SEEK_PENDING in quillet.h).
    static constexpr int32_t kSeekPending = 6;
    /// The engine's picture status: 0, or kSeekPending while a seek is pending. Updated on every read.
    int32_t status = 0;
    /// When a camera captured the picture (UTC): from the camera's RTCP sender reports once one has
    /// come (then captureTimeTrusted), before that the time it arrived. Never earlier than the
    /// camera's picture before it, also across a reconnection. The epoch for files and streams
    /// without it.
    std::chrono::system_clock::time_point captureTime{};
    /// True while captureTime follows the camera's own clock (its sender reports).
    bool captureTimeTrusted = false;
};

/// Settings of a live camera connection (rtsp:// sources), see FFFileServerWrapper::SetSourceSettings.
/// The fields and their defaults are those of the library's own record, Quillet::FFSourceSettings.
/// A plain record: the application fills it on one thread and the facade takes a copy.
class QUILLET_EXPORT SourceSettings : public Quillet::FFSourceSettings {};

/// Base of the three event-argument classes; handlers find the kind with dynamic_cast.
/// Arguments reach the handlers on the thread that reports the event, with no library lock held
/// (see FFWrapper), and live only for the handler call: a handler copies what it keeps.
class QUILLET_EXPORT EventArgs {
public:
    virtual ~EventArgs() = default;
};

/// The life of one publishing output (defined with the library's publishing status).
using PublishingState = Quillet::PublishState;

/// One output as FFWrapper::GetPublishingStatus reports it; a plain copy the application owns.
/// The fields are those of the library's own record, Quillet::PublishStatus.
class QUILLET_EXPORT PublishingStatus : public Quillet::PublishStatus {};

/// Raised on the output's own thread whenever its state changes; a lost
/// connection arrives as Retrying with the reason in `message`.
class QUILLET_EXPORT PublishingStatusArgs : public EventArgs {
public:
    std::string url;                                     ///< the output's URL
    PublishingState state = PublishingState::Connecting; ///< the new state
    std::string message;                                 ///< why, for Retrying and Failed
};

/// An error, the end of the stream or another notice; FFWrapper lists the thread each kind arrives on.
class QUILLET_EXPORT FFMessageEventArgs : public EventArgs {
public:
    /// A NoError notice.
    FFMessageEventArgs() = default;
    /// A notice of kind `m`.
    explicit FFMessageEventArgs(FFMessageType m) : message(m) {}
    /// What happened.
    FFMessageType message = FFMessageType::NoError;
};

/// A sync point of a recording: a position in a recorded file paired with the PC's UTC clock.
/// Arrives on the recording's write thread (see FFFileWrapper).
class QUILLET_EXPORT SyncPointEventArgs : public EventArgs {
public:
    /// Position in the recorded file (media time from the file's start).
    std::chrono::duration<double> videoTime{0.0};
    /// The PC's UTC wall-clock time at that position, in whole microseconds.
    std::chrono::system_clock::time_point PCTimeUTC{};
    /// The recorded file the point belongs to.
    std::string fileName = "noFile";
    /// Whether the wall-clock time is trustworthy (for cameras: taken from RTCP sender reports).
    bool isGood = false;
};

/// The state of a camera connection changed. Arrives on the source's read thread (see FFWrapper).
class QUILLET_EXPORT SourceConnectionStatusArgs : public EventArgs {
public:
    /// A description of the change.
    std::string message;
    /// The new state.
    ConnectionStatus status = ConnectionStatus::Disconnected;
};

/// The player of a live camera missed pictures: given up because the reader fell behind (see
/// LiveReading). Raised on the application's thread inside ReadFrameGetSize, once per drop and at
/// most once a second, never once per picture.
class QUILLET_EXPORT MissedPicturesEventArgs : public EventArgs {
public:
    /// Pictures missed since the previous MissedPicturesEventArgs (in this drop).
    uint64_t missed = 0;
    /// Pictures missed since the source was opened (FFWrapper::GetMissedPictures).
    uint64_t total = 0;
};

/// The application's event handler. Copies of one delegate compare equal, so the handle given to
/// FFWrapper::RegisterFFEventCallback also unregisters it. Copying and calling are safe from any
/// thread; the wrapped function is called on the thread that raises the event.
class QUILLET_EXPORT ManagedEventDelegate {
public:
    /// The wrapped handler's type.
    using Function = std::function<void(const EventArgs&)>;

    /// An empty delegate that does nothing when called.
    ManagedEventDelegate() = default;
    /// Wraps `f`.
    ManagedEventDelegate(Function f) : _target(std::make_shared<Function>(std::move(f))) {}

    /// Calls the wrapped handler, if any.
    void operator()(const EventArgs& args) const
    {
        if (_target && *_target)
            (*_target)(args);
    }
    /// True when a handler is wrapped.
    explicit operator bool() const { return _target && *_target; }
    /// True for copies of the same delegate.
    bool operator==(const ManagedEventDelegate& other) const { return _target == other._target; }

private:
    std::shared_ptr<Function> _target;
};

/// What a stop, close or dispose did (FFWrapper::StopEngine, CloseSource, Dispose,
/// FFFileWrapper::StopVideoSave).
enum class StopResult : int {
    /// Everything the call stops has ended.
    Done = 0,
    /// The call was made on the very thread it stops (an event handler on the source's read thread
    /// or the recording's write thread): the stop is marked and completes as soon as the handler
    /// returns.
    AfterHandler = 1,
};

/// Wall-clock ticks (100 ns since 1970-01-01 UTC) to a UTC time point, truncated to whole
/// microseconds. Safe from any thread.
QUILLET_EXPORT std::chrono::system_clock::time_point PCTimeFromTicks(int64_t ticks);

} // namespace Quillet::FFWrapperCLI
