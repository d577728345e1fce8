// Plays untrusted bytes as if they were a media file: the input (after one
// leading byte that picks BGR or RGB pictures) is opened by the file source
// from memory through a custom I/O context, its packets are read on this
// thread and pushed into the decoder, and every picture and sound block is
// converted as the application would receive it. Only the answers "refused"
// and "end of stream" are acceptable; the sanitizers catch everything else.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include "decode/FFDecode.h"
#include "source/FFSource.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

using namespace Quillet;

namespace {

// Past this an input only repeats itself; keeps each run short.
constexpr int kMaxPackets = 256;
constexpr size_t kAudioBlock = 4096;

void Quiet()
{
    static const bool done = [] {
        // Refusals are the expected answer to garbage; keep the console for findings.
        log4cpp::Category::getRoot().setPriority(log4cpp::Priority::FATAL);
        av_log_set_level(AV_LOG_QUIET);
        return true;
    }();
    (void)done;
}

void TakeEverythingDecoded(FFDecode& decode)
{
    try {
        while (decode.ReadVideo().size > 0) {
        }
    } catch (const std::exception&) {
        // the engine logs these and goes on
    }
    try {
        AudioBufferList buffers;
        for (int i = 0; i < 2; ++i)
            buffers.push_back(std::make_shared<std::vector<uint8_t>>(kAudioBlock));
        double time = -1.0;
        decode.ReadAudio(std::move(buffers), &time);
    } catch (const std::exception&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Quiet();
    if (size < 1)
        return 0;
    FFDecode decode;
    decode.SetColorSpace((data[0] & 1) ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_BGR24);
    FFSource source;
    if (!source.OpenMemory(std::vector<uint8_t>(data + 1, data + size)))
        return 0;
    source.ConnectNode(&decode);
    for (int i = 0; i < kMaxPackets; ++i) {
        const int result = source.ReadNextPacket();
        TakeEverythingDecoded(decode);
        if (result < 0)
            break;
    }
    TakeEverythingDecoded(decode); // the end of stream drains the codecs
    source.DisconnectNode();
    return 0;
}
