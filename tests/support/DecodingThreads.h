#pragma once
// The decoding-thread settings the playback and seek tables run under: the
// reading thread alone (1) and automatic (0: frame threads for files), so
// every exactness check also holds with pictures held back by codec threads.
#include <string>

#include <gtest/gtest.h>

#include "engine/FFEngine.h"

namespace Quillet::Testing {

inline auto DecodingThreadsUnderTest()
{
    return ::testing::Values(1, 0);
}

// "OneThread" / "AutoThreads", for parameter names.
inline std::string DecodingThreadsName(int threads)
{
    return threads == 1 ? "OneThread" : threads == 0 ? "AutoThreads" : std::to_string(threads) + "Threads";
}

inline void UseDecodingThreads(FFEngine& engine, int threads)
{
    FFEngineSettings settings = engine.GetEngineConfiguration();
    settings.decodingThreads = threads;
    engine.ConfigureEngine(settings);
}

} // namespace Quillet::Testing
