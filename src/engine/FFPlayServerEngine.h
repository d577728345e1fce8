#pragma once
// Serves a played source to any number of clients; every client receives
// every packet (the source waits for the slowest), and seeking flushes them.
// Threads and lock order as in FFServingEngine.h.
#include "engine/FFEngine.h"
#include "engine/FFServingEngine.h"

namespace Quillet {

class FFPlayServerEngine : public FFServingEngine<FFEngine, FFPlayOutgoing> {
public:
    explicit FFPlayServerEngine(const std::string& log);

protected:
    bool _Seek(double seconds) override;
};

} // namespace Quillet
