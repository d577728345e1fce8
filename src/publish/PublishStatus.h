#pragma once
// What the engine reports about one publishing output. Plain values; any thread.
#include <cstdint>
#include <string>

namespace Quillet {

// Numbers shared with the facade's PublishingState.
enum class PublishState : int32_t {
    Connecting = 0, // opening the connection (first attempt, or after a codec change)
    Publishing = 1, // connected; packets flow from the first key picture on
    Retrying = 2,   // the connection failed or was lost; waiting for the next attempt
    Finished = 3,   // the source ended; the output was closed properly
    Failed = 4,     // the source's streams cannot go to this output; no retry
    Stopped = 5,    // stopped by the application
};

const char* PublishStateName(PublishState state);

struct PublishStatus {
    std::string url;
    PublishState state = PublishState::Connecting;
    // Media bytes and packets handed to the output since publishing started.
    uint64_t bytes = 0;
    uint64_t packets = 0;
    // Records waiting for the output (bounded by the sink's queue limit).
    uint64_t queued = 0;
    // Successful connections after the first.
    uint32_t reconnects = 0;
    // Why the last attempt failed or the connection was lost; empty while none did.
    std::string lastError;
};

} // namespace Quillet
