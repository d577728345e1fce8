#include "Player.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "Waiting.h"

namespace QuilletPython {
namespace {

quillet_player* Create(int kind)
{
    switch (kind) {
    case QUILLET_KIND_RECORDER: return quillet_recorder_create("python");
    case QUILLET_KIND_LIVE_SERVER: return quillet_live_server_create("python");
    case QUILLET_KIND_PLAY_SERVER: return quillet_play_server_create("python");
    case QUILLET_KIND_REMOTE: return quillet_remote_create("python");
    default: return quillet_player_create("python");
    }
}

// The C interface refuses more (a decoder puts no more to use).
constexpr int kMostDecodingThreads = 16;

int PixelFormat(const std::string& name)
{
    if (name == "bgr24")
        return QUILLET_PIXEL_BGR24;
    if (name == "rgb24")
        return QUILLET_PIXEL_RGB24;
    throw py::value_error("pixel_format must be \"bgr24\" or \"rgb24\", not \"" + name + "\"");
}

int LivePolicy(const std::string& name)
{
    if (name == "newest")
        return QUILLET_LIVE_NEWEST;
    if (name == "every")
        return QUILLET_LIVE_EVERY;
    throw py::value_error("live must be \"newest\" or \"every\", not \"" + name + "\"");
}

// The newest policy is the library's default: a build without policies plays it anyway.
int AllowDefaultPolicy(int status, int policy)
{
    return status == QUILLET_ERROR_NOT_SUPPORTED && policy == QUILLET_LIVE_NEWEST ? QUILLET_OK : status;
}

// Opens on a thread of its own while this one waits in slices, so that
// Ctrl-C (or another signal handler raising) ends the open within a slice:
// the open is interrupted and the exception raised once it has returned. The
// reason of a failed open is read on the opening thread (it is kept per thread).
int OpenInterruptibly(quillet_player* handle, const std::string& source, std::string& reason)
{
    struct Outcome {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        int status = QUILLET_OK;
        std::string reason;
    };
    auto outcome = std::make_shared<Outcome>();
    std::thread opener([handle, source, outcome] {
        const int status = quillet_player_open(handle, source.c_str());
        const char* text = nullptr;
        std::string why;
        if (status == QUILLET_ERROR_OPEN_FAILED && quillet_player_get_open_failure(handle, &text) == QUILLET_OK && text)
            why = text;
        std::lock_guard<std::mutex> guard(outcome->lock);
        outcome->finished = true;
        outcome->status = status;
        outcome->reason = std::move(why);
        outcome->done.notify_all();
    });
    const auto finishedWithin = [&](std::chrono::milliseconds slice) {
        py::gil_scoped_release released;
        std::unique_lock<std::mutex> guard(outcome->lock);
        return outcome->done.wait_for(guard, slice, [&] { return outcome->finished; });
    };
    while (!finishedWithin(std::chrono::milliseconds(kSliceMs))) {
        try {
            CheckSignals();
        } catch (...) {
            quillet_player_interrupt(handle);
            {
                py::gil_scoped_release released;
                opener.join();
            }
            throw;
        }
    }
    {
        py::gil_scoped_release released;
        opener.join();
    }
    reason = outcome->reason;
    return outcome->status;
}

} // namespace

std::string UrlForMessages(const std::string& url)
{
    std::string shown(quillet_url_for_log(url.c_str(), nullptr, 0) + 1, '\0');
    shown.resize(quillet_url_for_log(url.c_str(), shown.data(), shown.size()));
    return shown;
}

// ---------------------------------------------------------------------------

SoundSink::SoundSink() : _buffers(4, std::vector<uint8_t>(16384))
{
    _sink.size = sizeof _sink;
    _sink.user = this;
    _sink.wants_audio = &WantsAudio;
    _sink.get_buffers = &GetBuffers;
    _sink.submit_buffers = &SubmitBuffers;
}

int SoundSink::WantsAudio(void*)
{
    return 1;
}

int SoundSink::GetBuffers(void* user, quillet_audio_buffer* buffers, int capacity)
{
    auto* self = static_cast<SoundSink*>(user);
    const int count = std::min<int>(capacity, static_cast<int>(self->_buffers.size()));
    for (int i = 0; i < count; ++i)
        buffers[i] = {self->_buffers[i].data(), self->_buffers[i].size()};
    return count;
}

void SoundSink::SubmitBuffers(void* user, const quillet_audio_buffer* filled, int count)
{
    auto* self = static_cast<SoundSink*>(user);
    for (int i = 0; i < count; ++i)
        self->_collected.insert(self->_collected.end(), filled[i].data, filled[i].data + filled[i].size);
}

// ---------------------------------------------------------------------------

Player::Player(int kind) : _kind(kind), _events(std::make_unique<EventState>())
{
    quillet_player* handle = Create(kind);
    if (!handle)
        Raise(Errors().error, std::string("cannot create a player: ") + quillet_error_message());
    _handle = handle;
    // Events are also delivered to Python callbacks and read loops through this callback.
    Check(quillet_player_set_event_callback(handle, &EventState::OnEvent, _events.get()), "set_event_callback");
}

Player::~Player()
{
    try {
        Close();
        _events->SetCallback(py::none());
    } catch (...) {
        // A destructor reports nothing: the handle is gone either way.
    }
}

quillet_player* Player::Handle() const
{
    quillet_player* handle = _handle.load();
    if (!handle)
        Raise(Errors().closed, "the player is closed");
    return handle;
}

void Player::Close()
{
    quillet_player* handle = _handle.exchange(nullptr);
    if (!handle)
        return;
    py::gil_scoped_release released;
    quillet_player_destroy(handle); // ends blocked reads, waits and opens on other threads
}

void Player::Open(const std::string& source, const OpenOptions& o, const std::function<void()>& beforeStart)
{
    const int live = LivePolicy(o.live);
    PixelFormat(o.pixelFormat); // checked before anything opens
    CText(source, "source");
    if (o.threads < 0 || o.threads > kMostDecodingThreads)
        throw py::value_error("threads must be 0 (automatic) to 16, what a decoder puts to use");
    if (o.timeout < 0)
        throw py::value_error("timeout must be 0 (no limit) or more");
    if (o.size && (o.size->first < 0 || o.size->second < 0))
        throw py::value_error("size must be (width, height), each 0 (follow the other) or more");
    _source = UrlForMessages(source);
    _events->Reset();
    quillet_source_settings settings;
    quillet_source_settings_init(&settings);
    settings.stream_using_tcp = o.tcp ? 1 : 0;
    settings.username = o.user ? CText(*o.user, "user") : "";
    settings.password = o.password ? CText(*o.password, "password") : "";
    settings.decoding_threads = o.threads;
    settings.live_reading = QUILLET_LIVE_NEWEST;
    // A camera's connection and reads are bounded by its packet timeout.
    if (o.timeout > 0)
        settings.packet_timeout_ms = o.timeout * 1000.0;
    Run("set_source_settings", [&](quillet_player* h) { return quillet_player_set_source_settings(h, &settings); });
    Run("set_live_reading",
        [&](quillet_player* h) { return AllowDefaultPolicy(quillet_player_set_live_reading(h, live), live); });
    Run("set_decoding_threads", [&](quillet_player* h) { return quillet_player_set_decoding_threads(h, o.threads); });
    Run("set_network_timeout", [&](quillet_player* h) { return quillet_player_set_network_timeout(h, o.timeout); });
    if (o.size)
        Run("set_picture_size",
            [&](quillet_player* h) { return quillet_player_set_picture_size(h, o.size->first, o.size->second); });

    std::string reason;
    const int status = OpenInterruptibly(Handle(), source, reason);
    if (status == QUILLET_INTERRUPTED || Closed())
        RaiseOpenError(_source, "closed");
    if (status == QUILLET_ERROR_OPEN_FAILED)
        RaiseOpenError(_source, reason.empty() ? "failed" : reason);
    Check(status, "open");
    Prepare(o.pixelFormat, o.audio, beforeStart);
}

void Player::Prepare(const std::string& pixelFormat, bool audio, const std::function<void()>& beforeStart)
{
    const int format = PixelFormat(pixelFormat);
    Run("set_pixel_format", [&](quillet_player* h) { return quillet_player_set_pixel_format(h, format); });
    Run("enable_audio", [&](quillet_player* h) { return quillet_player_enable_audio(h, audio ? 1 : 0); });
    _channels = 0;
    if (audio) {
        int rate = 0, bits = 0, channels = 0;
        quillet_player* handle = Handle();
        if (quillet_player_get_audio_format(handle, &rate, &bits, &channels) == QUILLET_OK && channels > 0) {
            _channels = channels;
            _sound = std::make_unique<SoundSink>();
            Run("set_audio_sink", [&](quillet_player* h) { return quillet_player_set_audio_sink(h, &_sound->Sink()); });
        }
    }
    if (beforeStart)
        beforeStart();
    if (_kind != QUILLET_KIND_REMOTE)
        Run("start", [](quillet_player* h) { return quillet_player_start(h); });
}

void Player::CheckSourceFailure()
{
    const std::string failure = _events->SourceFailure();
    if (!failure.empty())
        Raise(Errors().error, _source + ": " + failure);
}

} // namespace QuilletPython
