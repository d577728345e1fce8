// The traffic node is driven from two sides at once: the source's read thread
// pushes records through it while the engine, on an application thread, asks
// and changes its state. Run under ThreadSanitizer to see the state is guarded.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "source/FFTraffic.h"
#include "support/CapturingDest.h"
#include "support/TestRecords.h"

using namespace Quillet;
using namespace Quillet::Testing;

namespace {

TEST(TrafficThreads, ReadThreadAndEngineCallsDoNotRace)
{
    CapturingDest<FFData> decoder;
    FFTraffic traffic;
    traffic.ConnectNode(&decoder);

    constexpr int kRounds = 400;
    std::atomic<bool> done{false};
    size_t audioSent = 0;

    std::thread reader([&] {
        traffic.FFProcess(Codec(1, 1000, true));
        for (int round = 0; round < kRounds; ++round) {
            const int64_t base = round * 1000;
            traffic.GetStatus();
            if (round % 3 == 0)
                traffic.FFProcess(SeekMarker(static_cast<double>(round)));
            for (int i = 0; i < 10; ++i) {
                traffic.FFProcess(Video(base + i * 40, i == 0 || i == 5));
                if (i % 2 == 0) {
                    traffic.FFProcess(Audio(base + i * 40));
                    ++audioSent;
                }
            }
            if (round % 50 == 49)
                traffic.FFProcess(std::make_shared<FFEOSInfo>());
        }
        done = true;
    });

    std::thread engine([&] {
        bool later = false;
        for (int i = 0; !done; ++i) {
            switch (i % 8) {
            case 0: traffic.Pause(); break;
            case 1: traffic.IsOOB(later, i * 0.01); break;
            case 2:
                if (traffic.MayDeliverPicture())
                    traffic.PictureDelivered();
                else
                    traffic.NoPictureTaken();
                break;
            case 3: traffic.MayDeliverAudio(); break;
            case 4: traffic.IsPaused(); break;
            case 5: traffic.Continue(); break;
            case 6: traffic.SetOptimizeSeek(i % 16 != 6); break;
            default:
                if (i % 64 == 7)
                    traffic.Flush();
                else
                    traffic.ClearState();
                break;
            }
            std::this_thread::yield();
        }
    });

    reader.join();
    engine.join();

    // Only video is ever held back; every other record reaches the decoder.
    size_t audio = 0;
    size_t eos = 0;
    for (const auto& r : decoder.Records()) {
        if (auto* p = dynamic_cast<FFPacket*>(r.get()); p && p->GetStreamType() == FFStreamType::Audio)
            ++audio;
        eos += r->GetType() == FFType::EOSInfo ? 1 : 0;
    }
    EXPECT_EQ(audio, audioSent);
    EXPECT_EQ(eos, static_cast<size_t>(kRounds / 50));
    traffic.DisconnectNode();
}

} // namespace
