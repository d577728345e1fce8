#include "capi/AudioSinkBridge.h"

#include <algorithm>
#include <cstring>

namespace Quillet::CApi {

bool AudioSinkBridge::WantsAudio()
{
    return _sink.wants_audio(_sink.user) != 0;
}

AudioBufferList AudioSinkBridge::GetBuffers()
{
    quillet_audio_buffer offered[kMaxBuffers] = {};
    const int n = std::clamp(_sink.get_buffers(_sink.user, offered, kMaxBuffers), 0, kMaxBuffers);
    _offered.assign(offered, offered + n);
    _ours.clear();
    AudioBufferList list;
    for (const quillet_audio_buffer& b : _offered) {
        _ours.push_back(std::make_shared<std::vector<uint8_t>>(b.data ? b.size : 0));
        list.push_back(_ours.back());
    }
    return list;
}

void AudioSinkBridge::SubmitBuffers(AudioBufferList filled)
{
    std::vector<quillet_audio_buffer> back;
    size_t next = 0; // a buffer the library replaced is matched by its place
    for (const auto& bytes : filled) {
        const auto it = std::find(_ours.begin(), _ours.end(), bytes);
        const size_t i = it != _ours.end() ? static_cast<size_t>(it - _ours.begin()) : next;
        if (i >= _offered.size() || !bytes)
            continue;
        next = i + 1;
        const size_t n = std::min(bytes->size(), _offered[i].size);
        if (n > 0)
            std::memcpy(_offered[i].data, bytes->data(), n);
        back.push_back(quillet_audio_buffer{_offered[i].data, n});
    }
    _offered.clear();
    _ours.clear();
    _sink.submit_buffers(_sink.user, back.data(), static_cast<int>(back.size()));
}

} // namespace Quillet::CApi
