#pragma once
// The camera client's connection settings made from the source's settings
// record. Pure function, callable from any thread.
#include "camera/RTSPSourceSettings.h"
#include "source/FFSourceSettings.h"

namespace Quillet {

// Without a record the camera client's own defaults apply (see
// camera/RTSPSourceSettings.h: UDP, no time filter). With one, every field
// comes from the record; timeouts are truncated to whole ms.
RTSPSourceSettings CameraClientSettings(const FFSourceSettings* settings);

} // namespace Quillet
