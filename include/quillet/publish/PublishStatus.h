#pragma once
// What the engine reports about one publishing output: defined once for the
// publishing sink and for the facade, which hands it to the application as
// FFWrapperCLI::PublishingStatus and PublishingState. Plain values, copied
// between threads (the sink's worker fills it under its queue lock, any
// application thread reads a copy). Public header: standard library only.
#include <cstdint>
#include <string>

#include "../Export.h"

namespace Quillet {

/// The life of one publishing output.
enum class PublishState : int32_t {
    Connecting = 0, ///< opening the connection (first attempt, or after a codec change)
    Publishing = 1, ///< connected; packets flow from the first key picture on
    Retrying = 2,   ///< connection failed or lost; the next attempt follows a back-off
    Finished = 3,   ///< the source ended and the output was closed properly
    Failed = 4,     ///< refused for good (URL or codecs unfit for the protocol), or the output
                    ///< still could not deliver one back-off cycle after a file source ended
    Stopped = 5,    ///< stopped by the application
};

/// The state's name in lower case ("connecting", "publishing", ...), for log lines and tools.
QUILLET_EXPORT const char* PublishStateName(PublishState state);

/// One output's state and counts; the application sees it as FFWrapperCLI::PublishingStatus.
struct QUILLET_EXPORT PublishStatus {
    std::string url;                               ///< the output's URL
    PublishState state = PublishState::Connecting; ///< where the output stands
    uint64_t bytes = 0;                            ///< media bytes handed to the output
    uint64_t packets = 0;                          ///< packets handed to the output
    uint64_t queued = 0;      ///< records waiting for the output (bounded by the sink's queue limit)
    uint32_t reconnects = 0;  ///< successful connections after the first
    std::string lastError;    ///< why the last attempt failed or the connection was lost, or empty
};

} // namespace Quillet
