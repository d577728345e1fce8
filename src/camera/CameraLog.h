#pragma once
// Where the camera client writes its log lines. By default they go to
// FFmpeg's log; the host may route them into its own logging instead.
// Both functions may be called from any thread; a process-wide mutex guards
// the sink and is held while it runs, so a sink must not log through here.
#include <functional>
#include <string>

namespace Quillet {

enum class CameraLogLevel { Debug, Info, Warn, Error };

using CameraLogSink = std::function<void(CameraLogLevel, const std::string&)>;

// An empty sink restores FFmpeg's log.
void SetCameraLogSink(CameraLogSink sink);
void CameraLog(CameraLogLevel level, const std::string& prefix, const std::string& text);

} // namespace Quillet
