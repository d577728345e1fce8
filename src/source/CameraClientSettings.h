#pragma once
// The camera client's connection settings made from the source's settings
// record. Pure function, callable from any thread.
#include "camera/RTSPSourceSettings.h"
#include "source/FFSourceSettings.h"

namespace Quillet {

// Without a record: UDP, no time filter, RTCP required, 10 s packet and
// 30 s RTCP timeouts, video and audio. Timeouts are truncated to whole ms.
RTSPSourceSettings CameraClientSettings(const FFSourceSettings* settings);

} // namespace Quillet
