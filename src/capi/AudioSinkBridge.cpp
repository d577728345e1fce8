#include "capi/AudioSinkBridge.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace Quillet::CApi {
namespace {

// The read in progress on this thread: the bridge and sink that offered the
// host's buffers, the buffers, and the library's stand-ins, by index.
struct Offer {
    const AudioSinkBridge* bridge = nullptr;
    std::shared_ptr<const quillet_audio_sink> sink;
    std::vector<quillet_audio_buffer> offered;
    std::vector<std::shared_ptr<std::vector<uint8_t>>> ours;
};
thread_local Offer t_offer;

} // namespace

void AudioSinkBridge::Set(const quillet_audio_sink* sink)
{
    std::shared_ptr<const quillet_audio_sink> copy = sink ? std::make_shared<const quillet_audio_sink>(*sink) : nullptr;
    std::lock_guard<std::mutex> guard(_lock);
    _sink = std::move(copy);
}

std::shared_ptr<const quillet_audio_sink> AudioSinkBridge::Current() const
{
    std::lock_guard<std::mutex> guard(_lock);
    return _sink;
}

bool AudioSinkBridge::WantsAudio()
{
    const std::shared_ptr<const quillet_audio_sink> sink = Current();
    return sink && sink->wants_audio(sink->user) != 0;
}

AudioBufferList AudioSinkBridge::GetBuffers()
{
    t_offer = Offer{this, Current(), {}, {}};
    if (!t_offer.sink)
        return {};
    quillet_audio_buffer offered[kMaxBuffers] = {};
    const int n = std::clamp(t_offer.sink->get_buffers(t_offer.sink->user, offered, kMaxBuffers), 0, kMaxBuffers);
    t_offer.offered.assign(offered, offered + n);
    AudioBufferList list;
    for (const quillet_audio_buffer& b : t_offer.offered) {
        t_offer.ours.push_back(std::make_shared<std::vector<uint8_t>>(b.data ? b.size : 0));
        list.push_back(t_offer.ours.back());
    }
    return list;
}

void AudioSinkBridge::SubmitBuffers(AudioBufferList filled)
{
    Offer offer = std::exchange(t_offer, Offer{});
    if (offer.bridge != this || !offer.sink)
        return;
    std::vector<quillet_audio_buffer> back;
    size_t next = 0; // a buffer the library replaced is matched by its place
    for (const auto& bytes : filled) {
        const auto it = std::find(offer.ours.begin(), offer.ours.end(), bytes);
        const size_t i = it != offer.ours.end() ? static_cast<size_t>(it - offer.ours.begin()) : next;
        if (i >= offer.offered.size() || !bytes)
            continue;
        next = i + 1;
        const size_t n = std::min(bytes->size(), offer.offered[i].size);
        if (n > 0)
            std::memcpy(offer.offered[i].data, bytes->data(), n);
        back.push_back(quillet_audio_buffer{offer.offered[i].data, n});
    }
    offer.sink->submit_buffers(offer.sink->user, back.data(), static_cast<int>(back.size()));
}

} // namespace Quillet::CApi
