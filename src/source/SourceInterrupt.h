#pragma once
// Cancels a source's blocking open, read or seek from another thread. The
// engine owns one and shares it with its facade and with every source it
// opens; Fire and Clear may be called from any thread (one atomic flag, no
// lock), the source's demuxer polls Fired from whichever thread blocks in it.
#include <atomic>

namespace Quillet {

class SourceInterrupt {
public:
    // Makes every blocking demuxer call of the sources sharing this return.
    void Fire() { _fired.store(true); }
    // Called by the engine, under its lock, before it opens or starts again.
    void Clear() { _fired.store(false); }
    bool Fired() const { return _fired.load(); }

private:
    // Atomic: written and read from any thread without a lock.
    std::atomic<bool> _fired{false};
};

} // namespace Quillet
