#pragma once
// Cancels a source's blocking open, read or seek from another thread. The
// engine owns one and shares it with its facade and with every source it
// opens. Fire, Ticket and Arm may be called from any thread (two atomic
// counters, no lock); the source's demuxer polls Fired from whichever thread
// blocks in it.
//
// An open or start cancels on every stop or close that came after the call
// began, not only after the engine got round to it: the caller takes a ticket
// when its call begins (before waiting for any lock) and arms with it once it
// holds the engine's lock, so a close that slipped in between still counts.
#include <atomic>
#include <cstdint>

namespace Quillet {

class SourceInterrupt {
public:
    // Makes every blocking demuxer call of the sources sharing this return.
    void Fire() { _fires.fetch_add(1); }
    // How many stops and closes have happened so far.
    uint64_t Ticket() const { return _fires.load(); }
    // Only stops and closes after `ticket` interrupt from now on.
    void Arm(uint64_t ticket) { _armedAt.store(ticket); }
    bool Fired() const { return _fires.load() != _armedAt.load(); }

private:
    // Atomic counters: written and read from any thread without a lock.
    std::atomic<uint64_t> _fires{0};
    std::atomic<uint64_t> _armedAt{0};
};

} // namespace Quillet
