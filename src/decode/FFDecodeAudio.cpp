// The sound side of the decoder: the application's audio thread reads
// decoded blocks here; a seek hands over to sound on the first read after its
// picture. Locking as in FFDecode.h.
#include "decode/FFDecode.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "core/FFError.h"
#include "decode/DecodeRecords.h"

extern "C" {
#include <libavutil/avutil.h>
}

namespace Quillet {

void FFDecode::EnableAudio(bool enable)
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    _audioEnabled = enable;
    if (!enable)
        ClearKeepingCodec(_audioQueue);
}

void FFDecode::SetAudioReader(bool present)
{
    std::lock_guard<std::recursive_mutex> guard(_lock);
    _audioReader = present;
}

AudioBufferList FFDecode::ReadAudio(AudioBufferList buffers, double* time)
{
    AudioBufferList filled;
    std::string refusal;
    {
        std::lock_guard<std::mutex> side(_soundSide);
        filled = FillAudio(std::move(buffers), time);
        refusal.swap(_soundRefusal);
    }
    // Raised with no decoder lock held: the handler may call back into the player.
    if (!refusal.empty())
        ReportError("FFDecode::ReceiveAudio", std::runtime_error(refusal), FFMessageType::StreamRefused);
    return filled;
}

AudioBufferList FFDecode::FillAudio(AudioBufferList buffers, double* time)
{
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        if (_seek) {
            if (_seek->videoPending || !_seek->reached) {
                _soundFrom = kNoTime;
                _seek.reset();
                return {};
            }
            _SyncAudioToSeek();
            _seek.reset();
        }
    }
    AudioBufferList filled;
    for (auto& buffer : buffers) {
        FFFrame* block = nullptr;
        const int n = NextAudioBlock(block);
        if (n == 0)
            break;
        if (buffer->size() != static_cast<size_t>(n)) {
            LogWarn() << "Changing the length of a predefined audio buffer: " << buffer->size() << " ---> " << n;
            buffer->resize(static_cast<size_t>(n));
        }
        // The application's "no time" is -1, whatever the block's own time.
        if (time)
            *time = std::isnan(block->GetFrameTime()) ? -1.0 : block->GetFrameTime();
        std::memcpy(buffer->data(), block->GetAudioData(), static_cast<size_t>(n));
        filled.push_back(buffer);
    }
    return filled;
}

void FFDecode::_SyncAudioToSeek()
{
    if (!_audioCodec) {
        while (!_audioQueue.empty()) {
            auto record = _audioQueue.front();
            _audioQueue.pop_front();
            if (record->type == FFType::CodecInfo) {
                _audioCodec = std::static_pointer_cast<FFCodecInfo>(record);
                _InitializeAudioCodec();
                break;
            }
        }
    }
    if (!_audioCodec)
        return;
    DecodeSeek::DropSoundBefore(_audioQueue, _seek->seekInfo->time, SecondsPerTick(*_audioCodec));
    _soundFrom = _seek->seekInfo->time;
}

int FFDecode::NextAudioBlock(FFFrame*& block)
{
    for (;;) {
        int n = -1;
        while (n < 0)
            n = _ReadAudioFrame(block);
        std::lock_guard<std::recursive_mutex> guard(_lock);
        const double t = n > 0 ? block->GetFrameTime() : kNoTime;
        if (n == 0 || std::isnan(_soundFrom) || std::isnan(t) || t >= _soundFrom - kSoundSlack) {
            if (n > 0)
                _soundFrom = kNoTime;
            return n;
        }
    }
}

// Called on the sound side with `_lock` held.
void FFDecode::ApplyAudioRestart()
{
    if (!_audioRestartPending)
        return;
    _audioRestartPending = false;
    FlushAudioDecoder();
    _firstAudioFrame = true;
}

int FFDecode::_ReadAudioFrame(FFFrame*& out)
{
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        ApplyAudioRestart();
    }
    if (_audioFramesPending) {
        const int n = ReceiveAudio(out);
        if (n > 0)
            return n;
    }
    std::shared_ptr<FFData> record;
    {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        if (_audioQueue.empty())
            return 0;
        record = _audioQueue.front();
        _audioQueue.pop_front();
    }
    switch (record->type) {
    case FFType::Packet:
        return _DecodeAudio(static_cast<const FFPacket&>(*record), out);
    case FFType::CodecInfo: {
        std::lock_guard<std::recursive_mutex> guard(_lock);
        RestartAudio();
        ApplyAudioRestart();
        _audioCodec = std::static_pointer_cast<FFCodecInfo>(record);
        _InitializeAudioCodec();
        return -1;
    }
    default:
        return -1;
    }
}

int FFDecode::_DecodeAudio(const FFPacket& packet, FFFrame*& out)
{
    if (!_audioContext && _audioRefused)
        return -1; // the stream was refused: skip to the next record
    if (!_audioContext)
        throw FFError("_audioCodec may not be nullptr before decoding");
    const int r = avcodec_send_packet(_audioContext.get(), packet.Get());
    if (r >= 0)
        _audioFramesPending = true;
    const int n = ReceiveAudio(out);
    if (n == 0) {
        const AVPacket* p = packet.Get();
        LogDebug() << "Audio not finished: " << " - pts: " << (p->pts == AV_NOPTS_VALUE ? -1 : p->pts)
                   << " - dts: " << p->dts;
    }
    return n;
}

int FFDecode::ReceiveAudio(FFFrame*& out)
{
    if (!_audioContext) {
        _audioFramesPending = false;
        return 0;
    }
    const int r = avcodec_receive_frame(_audioContext.get(), _audioFrame.CFrame());
    if (r < 0) {
        _audioFramesPending = false;
        return 0;
    }
    const int64_t ts = _audioFrame.CFrame()->best_effort_timestamp;
    try {
        out = _pcmConvert.Convert(_audioFrame);
    } catch (const std::runtime_error& e) {
        // Sound in a shape the resampler cannot take: the audio stream is
        // given up, the pictures play on.
        {
            std::lock_guard<std::recursive_mutex> guard(_lock);
            _audioContext.reset();
            _audioFramesPending = false;
            _audioRefused = true;
        }
        _soundRefusal = e.what(); // reported once the sound side is left
        return 0;
    }
    const int n = out->GetAudioSize();
    out->SetFrameTime(ts == AV_NOPTS_VALUE ? kNoTime : static_cast<double>(ts) * SecondsPerTick(*_audioCodec));
    out->SetFirstFrame(_firstAudioFrame);
    _firstAudioFrame = false;
    return n;
}

} // namespace Quillet
