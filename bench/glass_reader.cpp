// One reader of bench_glass.py: plays a camera of tests/camera/stamp_camera.py
// through the C++ facade or the C interface with a live-reading policy, and
// prints one line per picture the moment it is in hand, in BGR24:
//   <hand time, ms since 1970> <stamped capture time, ms> <picture number> <capture time, ms> <trusted>
// or "<hand time> broken" when the stamp does not read whole. The fourth and
// fifth fields are the library's own capture time of the picture (0 0 without).
//
//   glass_reader cpp|c newest|every <url> <seconds>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "camera/PictureStamp.h"
#include "engine/FFEngine.h"
#include "facade/FFWrapper.h"
#include "quillet/quillet.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace {

using Clock = std::chrono::steady_clock;

double NowMs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() / 1000.0;
}

void Print(double handMs, const uint8_t* bgr, int width, int height, int stride, double captureMs, bool trusted)
{
    const auto stamp = QuilletTest::ReadPictureStamp(bgr, width, height, stride, 3);
    if (stamp)
        std::printf("%.3f %lld %u %.3f %d\n", handMs, static_cast<long long>(stamp->captureMs), stamp->number,
                    captureMs, trusted ? 1 : 0);
    else
        std::printf("%.3f broken\n", handMs);
}

int ReadCpp(bool every, const std::string& url, double seconds)
{
    using namespace Quillet;
    using namespace Quillet::FFWrapperCLI;
    auto settings = std::make_shared<FFSourceSettings>();
    settings->streamUsingTCP = true;
    auto* engine = new FFEngine("glass_reader");
    engine->SetSourceSettingsForCamera(settings);
    FFWrapper player(engine);
    if (!player.OpenSource(url))
        return 1;
    player.SetLiveReading(every ? LiveReading::Every : LiveReading::Newest);
    player.EnableAudio(false);
    player.DecodeVideo(AV_PIX_FMT_BGR24);
    if (!player.StartEngine())
        return 1;
    FrameData frame;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        // The facade's read does not wait: the application looks again.
        const int size = player.ReadFrameGetSize(&frame);
        if (size <= 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            continue;
        }
        const double captureMs =
            std::chrono::duration_cast<std::chrono::microseconds>(frame.captureTime.time_since_epoch()).count() / 1000.0;
        Print(NowMs(), frame.frame.data(), frame.width, frame.height, frame.width * 3, captureMs,
              frame.captureTimeTrusted);
    }
    player.StopEngine();
    player.CloseSource();
    return 0;
}

int ReadC(bool every, const std::string& url, double seconds)
{
    quillet_player* player = quillet_player_create("glass_reader");
    quillet_source_settings settings;
    quillet_source_settings_init(&settings);
    settings.stream_using_tcp = 1;
    quillet_player_set_source_settings(player, &settings);
    if (quillet_player_open(player, url.c_str()) != QUILLET_OK)
        return 1;
    quillet_player_set_live_reading(player, every ? QUILLET_LIVE_EVERY : QUILLET_LIVE_NEWEST);
    quillet_player_set_pixel_format(player, QUILLET_PIXEL_BGR24);
    if (quillet_player_start(player) != QUILLET_OK)
        return 1;
    quillet_picture picture;
    std::memset(&picture, 0, sizeof(picture));
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (quillet_player_read_picture(player, &picture, 100) != QUILLET_OK)
            continue;
        const double handMs = NowMs();
        int64_t captureUs = 0;
        int trusted = 0;
        quillet_player_get_capture_time(player, &captureUs, &trusted);
        Print(handMs, picture.data, picture.width, picture.height, picture.stride, captureUs / 1000.0, trusted != 0);
    }
    quillet_player_destroy(player);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: glass_reader cpp|c newest|every <url> <seconds>\n");
        return 2;
    }
    const std::string api = argv[1];
    const bool every = std::string(argv[2]) == "every";
    const int result = api == "c" ? ReadC(every, argv[3], std::atof(argv[4])) : ReadCpp(every, argv[3], std::atof(argv[4]));
    std::fflush(stdout);
    return result;
}
