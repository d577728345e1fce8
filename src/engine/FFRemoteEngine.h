#pragma once
// Plays a stream that arrives as serialized batches handed in by the
// application: a remote-fed source in front of the usual traffic node and
// decoder, with no read thread of its own.
// Threads and lock order as in FFEngine.h: the application's writer thread
// pushes blocks and asks for seeks under `_mutex`, so the remote source's
// pushes run on that thread, inside the engine lock.
#include <cstdint>

#include "engine/FFEngine.h"
#include "source/FFRemoteSource.h"

namespace Quillet {

class FFRemoteEngine : public FFEngine {
public:
    explicit FFRemoteEngine(const std::string& log);
    ~FFRemoteEngine() override;

    // What became of a block: taken whole, to be offered again once the
    // reader made room, or malformed (the engine keeps working with the next).
    enum class Block { Taken, Again, Malformed };
    // Parses the block and delivers its records downstream.
    Block PushBlock(const uint8_t* data, unsigned int size);
    bool PushPacketToRemoteSource(const uint8_t* data, unsigned int size)
    {
        return PushBlock(data, size) == Block::Taken;
    }
    // True when `seekTo` is a new seek target; incoming data is then dropped
    // until the matching seek marker arrives.
    bool WaitForSeek(double seekTo);
    // The next block is read from its start.
    void WaitForSeek();

protected:
    void _CloseSource() override;
    void _Flush() override;
    bool _Seek(double seconds) override;
    void _PrepareVideoDecode(int pixelFormat) override;

    // Used under `_mutex` only.
    FFRemoteSource _remoteSource;
};

} // namespace Quillet
