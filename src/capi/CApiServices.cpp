// The C interface's sound, publishing, events, recording, serving, remote
// playing and settings (quillet.h). Each function runs in WithPlayer/Guard
// (Handles.h): no exception leaves it.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>

#include "capi/Handles.h"
#include "core/UrlForLog.h"
#include "decode/DecoderThreads.h"
#include "facade/Logging.h"

using namespace Quillet::CApi;
using Quillet::DecoderThreads;
using namespace Quillet::FFWrapperCLI;

namespace {

// The engine's camera record from the caller's settings; fields past the
// caller's `size` keep their defaults.
std::shared_ptr<Quillet::FFSourceSettings> CameraSettings(const quillet_source_settings* s)
{
    Require(s != nullptr, "the settings are NULL");
    // A record of an earlier release is shorter: the fields past its size keep their defaults.
    Require(s->size >= offsetof(quillet_source_settings, stream_using_tcp) + sizeof(int),
            "settings->size is too small; fill the record with quillet_source_settings_init");
    const auto has = [s](size_t offset, size_t size) { return s->size >= offset + size; };
#define QUILLET_HAS(field) has(offsetof(quillet_source_settings, field), sizeof(s->field))
    auto out = std::make_shared<Quillet::FFSourceSettings>();
    out->streamUsingTCP = s->stream_using_tcp != 0;
    if (QUILLET_HAS(use_time_filter))
        out->useTimeFilter = s->use_time_filter != 0;
    if (QUILLET_HAS(use_only_video))
        out->useOnlyVideo = s->use_only_video != 0;
    if (QUILLET_HAS(require_rtcp))
        out->requireRTCP = s->require_rtcp != 0;
    if (QUILLET_HAS(create_timing_log))
        out->createTimingLog = s->create_timing_log != 0;
    if (QUILLET_HAS(timing_log_folder))
        out->timingLogFolder = Text(s->timing_log_folder);
    if (QUILLET_HAS(username))
        out->username = Text(s->username);
    if (QUILLET_HAS(password))
        out->password = Text(s->password);
    if (QUILLET_HAS(audio_latency_ms))
        out->audioLatencyMs = s->audio_latency_ms;
    if (QUILLET_HAS(video_latency_ms))
        out->videoLatencyMs = s->video_latency_ms;
    if (QUILLET_HAS(sync_shift_ms))
        out->syncShiftMs = s->sync_shift_ms;
    if (QUILLET_HAS(rtcp_timeout_ms))
        out->rtcpTimeoutMs = s->rtcp_timeout_ms;
    if (QUILLET_HAS(packet_timeout_ms))
        out->packetTimeoutMs = s->packet_timeout_ms;
    if (QUILLET_HAS(decoding_threads)) {
        Require(s->decoding_threads >= 0, "decoding_threads is negative");
        Require(s->decoding_threads <= DecoderThreads::kMostThreads,
                "decoding_threads is more than a decoder can use (16 at most)");
        out->decodingThreads = s->decoding_threads;
    }
    if (QUILLET_HAS(live_reading)) {
        Require(s->live_reading == QUILLET_LIVE_NEWEST || s->live_reading == QUILLET_LIVE_EVERY,
                "unknown live reading policy");
        out->liveReading = s->live_reading;
    }
#undef QUILLET_HAS
    return out;
}

// Copies the first `size` bytes of `defaults` into the caller's record, its `size` field saying
// how many that was: a record of an earlier release is shorter than this release's, and nothing
// past its end is written.
template <class Record>
int FillWithin(Record* out, size_t size, Record defaults)
{
    Require(out != nullptr, "the settings are NULL");
    Require(size >= sizeof(defaults.size), "size cannot hold the record's size field");
    defaults.size = std::min(size, sizeof(Record));
    std::memcpy(out, &defaults, defaults.size);
    return QUILLET_OK;
}

// The records the _init functions without a size fill: programs built before the sized calls
// existed pass records of these sizes (the last field then being live_reading, min_free_bytes),
// however the records grow later.
constexpr size_t kSourceSettingsUnsized = offsetof(quillet_source_settings, live_reading) + sizeof(int);
constexpr size_t kRecordingSettingsUnsized = offsetof(quillet_recording_settings, min_free_bytes) + sizeof(int64_t);

HandleSignal::Clock::time_point Deadline(int timeoutMs)
{
    return HandleSignal::Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
}

template <class Work>
int WithClient(quillet_client* handle, Work&& work) noexcept
{
    return Guard([&]() -> int {
        const std::shared_ptr<Client> client = Clients().Find(handle);
        if (!client)
            throw StatusError(QUILLET_ERROR_INVALID_HANDLE, "not a live client handle");
        return work(*client);
    });
}

// The client's next batch (one kept back first); empty when none is queued.
std::vector<uint8_t> NextBatch(Client& c)
{
    {
        std::lock_guard<std::mutex> guard(c.lock);
        if (c.hasHeld) {
            c.hasHeld = false;
            return std::move(c.held);
        }
    }
    return c.out->GetNextPacket();
}

// Why a client has no batch: its server is gone (END) or nothing is queued.
int NoBatch(Client& c)
{
    const std::shared_ptr<Player> server = c.server.lock();
    return !server || server->IsShutDown() ? QUILLET_END : QUILLET_AGAIN;
}

} // namespace

extern "C" {

int quillet_source_settings_init_sized(quillet_source_settings* settings, size_t size)
{
    return Guard([&]() -> int {
        const Quillet::FFSourceSettings d;
        quillet_source_settings s{};
        s.stream_using_tcp = d.streamUsingTCP;
        s.use_time_filter = d.useTimeFilter;
        s.use_only_video = d.useOnlyVideo;
        s.require_rtcp = d.requireRTCP;
        s.create_timing_log = d.createTimingLog;
        s.timing_log_folder = "";
        s.username = "";
        s.password = "";
        s.audio_latency_ms = d.audioLatencyMs;
        s.video_latency_ms = d.videoLatencyMs;
        s.sync_shift_ms = d.syncShiftMs;
        s.rtcp_timeout_ms = d.rtcpTimeoutMs;
        s.packet_timeout_ms = d.packetTimeoutMs;
        s.decoding_threads = d.decodingThreads;
        s.live_reading = d.liveReading;
        return FillWithin(settings, size, s);
    });
}

int(quillet_source_settings_init)(quillet_source_settings* settings)
{
    return quillet_source_settings_init_sized(settings, kSourceSettingsUnsized);
}

int quillet_set_log_configuration(const char* path)
{
    return Guard([&]() -> int {
        Require(path != nullptr, "the path is NULL");
        return SetLogConfiguration(path) ? QUILLET_OK
                                         : Fail(QUILLET_ERROR_FAILED, "the logging configuration cannot be read or is refused");
    });
}

int quillet_set_log_callback(quillet_log_fn callback, void* user, int level)
{
    return Guard([&]() -> int {
        Require(level == QUILLET_LOG_ERROR || level == QUILLET_LOG_WARNING || level == QUILLET_LOG_INFO ||
                    level == QUILLET_LOG_DEBUG,
                "unknown log level");
        if (callback == nullptr) {
            SetLogCallback(nullptr);
            return QUILLET_OK;
        }
        SetLogCallback([callback, user](const LogLine& line) {
            // The views need not end in a NUL; the caller's strings must.
            const std::string category(line.category), text(line.text);
            const quillet_log_line out{static_cast<int>(line.severity), category.c_str(), text.c_str(), line.timeUs};
            callback(user, &out);
        }, static_cast<LogSeverity>(level));
        return QUILLET_OK;
    });
}

size_t quillet_url_for_log(const char* url, char* out, size_t size)
{
    try {
        const std::string shown = url ? Quillet::UrlForLog(url) : std::string();
        if (out && size > 0) {
            const size_t n = std::min(shown.size(), size - 1);
            std::memcpy(out, shown.data(), n);
            out[n] = '\0';
        }
        return shown.size();
    } catch (...) { // out of memory: nothing written
        if (out && size > 0)
            out[0] = '\0';
        return 0;
    }
}

int quillet_player_set_source_settings(quillet_player* handle, const quillet_source_settings* settings)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        p.Reach().SetCameraSettings(CameraSettings(settings));
        return QUILLET_OK;
    });
}

int quillet_player_set_live_reading(quillet_player* handle, int policy)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(policy == QUILLET_LIVE_NEWEST || policy == QUILLET_LIVE_EVERY, "unknown live reading policy");
        p.Facade().SetLiveReading(static_cast<LiveReading>(policy));
        return QUILLET_OK;
    });
}

int quillet_player_get_live_reading(quillet_player* handle, int* policy)
{
    return WithPlayer(handle,
                      [&](Player& p) -> int { return Answer(policy, static_cast<int>(p.Facade().GetLiveReading())); });
}

int quillet_player_missed_pictures(quillet_player* handle, uint64_t* missed)
{
    return WithPlayer(handle, [&](Player& p) -> int { return Answer(missed, p.Facade().GetMissedPictures()); });
}

// ---- sound

int quillet_player_enable_audio(quillet_player* handle, int enable)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        p.Facade().EnableAudio(enable != 0);
        return QUILLET_OK;
    });
}

int quillet_player_has_audio(quillet_player* handle, int* has_audio)
{
    return WithPlayer(handle, [&](Player& p) -> int { return Answer(has_audio, p.Facade().IsAudio() ? 1 : 0); });
}

int quillet_player_get_audio_format(quillet_player* handle, int* rate, int* bits, int* channels)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(rate && bits && channels, "an output pointer is NULL");
        return p.Facade().GetAudioFormat(*rate, *bits, *channels) ? QUILLET_OK
                                                                   : Fail(QUILLET_ERROR_STATE, "the source has no sound");
    });
}

int quillet_player_set_audio_sink(quillet_player* handle, const quillet_audio_sink* sink)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        if (sink) {
            Require(sink->size >= offsetof(quillet_audio_sink, submit_buffers) + sizeof(sink->submit_buffers),
                    "sink->size is too small");
            Require(sink->wants_audio && sink->get_buffers && sink->submit_buffers, "a sink callback is NULL");
        }
        p.SetAudioSink(sink);
        return QUILLET_OK;
    });
}

int quillet_player_read_audio(quillet_player* handle, double* media_time)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        const double time = p.Facade().ReadAudioFromInterface();
        if (media_time)
            *media_time = time >= 0.0 ? time : -1.0;
        return time >= 0.0 ? QUILLET_OK : QUILLET_AGAIN;
    });
}

// ---- publishing

int quillet_player_start_publishing(quillet_player* handle, const char* url)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(url && *url, "the URL is NULL or empty");
        return p.Facade().StartPublishing(url) ? QUILLET_OK
                                               : Fail(QUILLET_ERROR_FAILED, "no publishing protocol takes this URL");
    });
}

int quillet_player_stop_publishing(quillet_player* handle, const char* url)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(url && *url, "the URL is NULL or empty");
        return p.Facade().StopPublishing(url) ? QUILLET_OK : Fail(QUILLET_ERROR_STATE, "nothing is published to this URL");
    });
}

int quillet_player_get_publishing_status(quillet_player* handle, quillet_publishing_status* statuses, size_t capacity,
                                         size_t* count)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(count != nullptr, "the count pointer is NULL");
        Require(statuses != nullptr || capacity == 0, "the status array is NULL");
        thread_local std::vector<PublishingStatus> kept;
        kept = p.Facade().GetPublishingStatus();
        *count = kept.size();
        for (size_t i = 0; i < kept.size() && i < capacity; ++i) {
            const PublishingStatus& s = kept[i];
            statuses[i] = quillet_publishing_status{s.url.c_str(), static_cast<int>(s.state), s.bytes, s.packets,
                                                    s.queued, s.reconnects, s.lastError.c_str()};
        }
        return kept.size() > capacity ? Fail(QUILLET_ERROR_BUFFER_TOO_SMALL, "more outputs than records given")
                                      : QUILLET_OK;
    });
}

// ---- events

int quillet_player_wait_event(quillet_player* handle, quillet_event* event, int timeout_ms)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(event != nullptr, "the event pointer is NULL");
        thread_local QueuedEvent taken;
        const HandleSignal::Mark began = p.Signal().Now();
        taken = QueuedEvent{};
        const HandleSignal::Woken woken = p.Signal().TakeEvent(began, Deadline(timeout_ms), timeout_ms < 0, taken);
        *event = taken.View();
        switch (woken) {
        case HandleSignal::Woken::Progress: return QUILLET_OK;
        case HandleSignal::Woken::Interrupted: return QUILLET_INTERRUPTED;
        case HandleSignal::Woken::TimedOut: break;
        }
        return QUILLET_AGAIN;
    });
}

int quillet_player_interrupt(quillet_player* handle)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        p.Interrupt();
        return QUILLET_OK;
    });
}

int quillet_player_set_event_queue_size(quillet_player* handle, size_t capacity)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        p.Signal().SetCapacity(capacity);
        return QUILLET_OK;
    });
}

int quillet_player_dropped_events(quillet_player* handle, uint64_t* dropped)
{
    return WithPlayer(handle, [&](Player& p) -> int { return Answer(dropped, p.Signal().DroppedTotal()); });
}

int quillet_player_set_wakeup_callback(quillet_player* handle, quillet_wakeup_fn callback, void* user)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        p.SetWakeupCallback(callback, user);
        return QUILLET_OK;
    });
}

int quillet_player_set_event_callback(quillet_player* handle, quillet_event_fn callback, void* user)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        p.SetEventCallback(callback, user);
        return QUILLET_OK;
    });
}

// ---- recording

int quillet_recorder_save(quillet_player* handle, const char* file_name)
{
    return WithPart(handle, &Player::Recorder, [&](Player&, FFFileWrapper& r) -> int {
        Require(file_name && *file_name, "the file name is NULL or empty");
        r.SaveToVideoFile(file_name);
        return QUILLET_OK;
    });
}

int quillet_recorder_split(quillet_player* handle, const char* new_file)
{
    return WithPart(handle, &Player::Recorder, [&](Player&, FFFileWrapper& r) -> int {
        Require(new_file && *new_file, "the file name is NULL or empty");
        r.SplitFile(new_file);
        return QUILLET_OK;
    });
}

int quillet_recording_settings_init_sized(quillet_recording_settings* settings, size_t size)
{
    return Guard([&]() -> int {
        const RecordingSettings d;
        quillet_recording_settings s{};
        s.segment_seconds = d.segmentSeconds;
        s.name_pattern = "";
        s.keep_bytes = d.keepBytes;
        s.keep_seconds = d.keepSeconds;
        s.min_free_bytes = d.minFreeBytes;
        return FillWithin(settings, size, s);
    });
}

int(quillet_recording_settings_init)(quillet_recording_settings* settings)
{
    return quillet_recording_settings_init_sized(settings, kRecordingSettingsUnsized);
}

int quillet_recorder_set_settings(quillet_player* handle, const quillet_recording_settings* settings)
{
    return WithPart(handle, &Player::Recorder, [&](Player&, FFFileWrapper& r) -> int {
        Require(settings != nullptr, "the settings are NULL");
        Require(settings->size >= offsetof(quillet_recording_settings, min_free_bytes) + sizeof(int64_t),
                "settings->size is too small; fill the record with quillet_recording_settings_init");
        Require(settings->segment_seconds >= 0.0 && settings->keep_bytes >= 0 && settings->keep_seconds >= 0.0 &&
                    settings->min_free_bytes >= -1,
                "a segment length, size or age is negative");
        RecordingSettings out;
        out.segmentSeconds = settings->segment_seconds;
        out.namePattern = Text(settings->name_pattern);
        out.keepBytes = settings->keep_bytes;
        out.keepSeconds = settings->keep_seconds;
        out.minFreeBytes = settings->min_free_bytes;
        r.SetRecordingSettings(out);
        return QUILLET_OK;
    });
}

int quillet_recorder_stop(quillet_player* handle)
{
    return WithPart(handle, &Player::Recorder, [&](Player&, FFFileWrapper& r) -> int { return Stopped(r.StopVideoSave()); });
}

int quillet_recorder_is_saving(quillet_player* handle, int* saving, int* pending)
{
    return WithPart(handle, &Player::Recorder, [&](Player&, FFFileWrapper& r) -> int {
        Require(saving != nullptr, "the output pointer is NULL");
        bool waiting = false;
        *saving = r.IsVideoSave(waiting) ? 1 : 0;
        if (pending)
            *pending = waiting ? 1 : 0;
        return QUILLET_OK;
    });
}

// ---- serving

int quillet_server_set_source(quillet_player* handle, const char* url)
{
    return WithPart(handle, &Player::Server, [&](Player& p, IFFSerializeWrapper&) {
        Require(url && *url, "the URL is NULL or empty");
        if (p.LiveServer())
            p.LiveServer()->SetSource(url);
        else
            p.PlayServer()->SetSource(url);
        p.closed = false;
        return QUILLET_OK;
    });
}

int quillet_server_set_source_settings(quillet_player* handle, const quillet_source_settings* settings)
{
    return WithPart(handle, &Player::LiveServer, [&](Player&, FFFileServerWrapper& s) -> int {
        SourceSettings copy;
        static_cast<Quillet::FFSourceSettings&>(copy) = *CameraSettings(settings);
        s.SetSourceSettings(copy);
        return QUILLET_OK;
    });
}

int quillet_server_add_client(quillet_player* handle, quillet_client** client)
{
    return WithPart(handle, &Player::Server, [&](Player& p, IFFSerializeWrapper& s) -> int {
        Require(client != nullptr, "the client pointer is NULL");
        *client = nullptr;
        FFOutgoingHandle out = p.Opening([&] { return s.AddClient(); });
        p.Signal().Bump();
        if (!out) {
            const std::string reason = p.Facade().GetOpenFailureReason();
            return Fail(QUILLET_ERROR_OPEN_FAILED, reason.empty() ? "the source could not be opened" : reason);
        }
        auto c = std::make_shared<Client>();
        c->out = std::move(out);
        c->out->SetArrivalNotice([signal = c->signal] { signal->Bump(); });
        c->server = p.shared_from_this();
        *client = Clients().Add(std::move(c));
        return QUILLET_OK;
    });
}

int quillet_server_set_batch_records(quillet_player* handle, unsigned records)
{
    return WithPart(handle, &Player::Server, [&](Player&, IFFSerializeWrapper& s) -> int {
        Require(records > 0, "a batch holds at least one record");
        s.SetNumberOutgoingPackets(records);
        return QUILLET_OK;
    });
}

int quillet_server_get_batch_records(quillet_player* handle, unsigned* records)
{
    return WithPart(handle, &Player::Server,
                    [&](Player&, IFFSerializeWrapper& s) -> int { return Answer(records, s.GetNumberOutgoingPackets()); });
}

void quillet_client_destroy(quillet_client* handle)
{
    Guard([&]() -> int {
        const std::shared_ptr<Client> client = Clients().Take(handle);
        if (!client)
            return QUILLET_OK;
        client->signal->Close();
        client->out->SetArrivalNotice(nullptr);
        if (const std::shared_ptr<Player> server = client->server.lock(); server && server->Server())
            server->Server()->RemoveClient(client->out);
        return QUILLET_OK;
    });
}

int quillet_client_next_batch(quillet_client* handle, quillet_batch** batch)
{
    return WithClient(handle, [&](Client& c) -> int {
        Require(batch != nullptr, "the batch pointer is NULL");
        *batch = nullptr;
        std::vector<uint8_t> bytes = NextBatch(c);
        if (bytes.empty())
            return NoBatch(c);
        *batch = new quillet_batch{std::move(bytes)};
        return QUILLET_OK;
    });
}

int quillet_client_wait_batch(quillet_client* handle, quillet_batch** batch, int timeout_ms)
{
    return WithClient(handle, [&](Client& c) -> int {
        Require(batch != nullptr, "the batch pointer is NULL");
        *batch = nullptr;
        const auto deadline = Deadline(timeout_ms);
        for (;;) {
            // Marked before looking, so a record queued in between ends the wait at once.
            const HandleSignal::Mark mark = c.signal->Now();
            std::vector<uint8_t> bytes = NextBatch(c);
            if (!bytes.empty()) {
                *batch = new quillet_batch{std::move(bytes)};
                return QUILLET_OK;
            }
            if (NoBatch(c) == QUILLET_END)
                return QUILLET_END;
            switch (c.signal->WaitForProgress(mark, deadline, timeout_ms < 0)) {
            case HandleSignal::Woken::Interrupted: return QUILLET_INTERRUPTED;
            case HandleSignal::Woken::TimedOut: return QUILLET_AGAIN;
            case HandleSignal::Woken::Progress: break;
            }
        }
    });
}

int quillet_client_next_batch_into(quillet_client* handle, uint8_t* dst, size_t capacity, size_t* size)
{
    return WithClient(handle, [&](Client& c) -> int {
        Require(size != nullptr, "the size pointer is NULL");
        Require(dst != nullptr || capacity == 0, "the destination is NULL");
        *size = 0;
        std::vector<uint8_t> bytes = NextBatch(c);
        if (bytes.empty())
            return NoBatch(c);
        *size = bytes.size();
        if (bytes.size() > capacity) {
            std::lock_guard<std::mutex> guard(c.lock);
            c.held = std::move(bytes);
            c.hasHeld = true;
            return Fail(QUILLET_ERROR_BUFFER_TOO_SMALL, "the batch does not fit; it is kept for the next call");
        }
        std::copy(bytes.begin(), bytes.end(), dst);
        return QUILLET_OK;
    });
}

const uint8_t* quillet_batch_data(const quillet_batch* batch)
{
    return batch ? batch->bytes.data() : nullptr;
}

size_t quillet_batch_size(const quillet_batch* batch)
{
    return batch ? batch->bytes.size() : 0;
}

void quillet_batch_free(quillet_batch* batch)
{
    delete batch;
}

// ---- remote playing

int quillet_remote_write(quillet_player* handle, const uint8_t* data, size_t size)
{
    return WithPart(handle, &Player::Remote, [&](Player& p, FFRemoteWrapper& r) -> int {
        Require(data != nullptr && size > 0, "the batch is NULL or empty");
        const FFRemoteWrapper::WriteResult result = r.Write(data, size);
        p.Signal().Bump();
        switch (result) {
        case FFRemoteWrapper::WriteResult::Taken: return QUILLET_OK;
        case FFRemoteWrapper::WriteResult::Malformed:
            return Fail(QUILLET_ERROR_INVALID_DATA, "the batch is malformed; offering it again cannot help");
        case FFRemoteWrapper::WriteResult::Again: break;
        }
        return Fail(QUILLET_AGAIN, "the batch was not taken (whole); read pictures, then offer it again");
    });
}

int quillet_remote_wait_for_seek(quillet_player* handle, double seconds, int* new_target)
{
    return WithPart(handle, &Player::Remote, [&](Player&, FFRemoteWrapper& r) -> int {
        const bool isNew = r.WaitForSeek(seconds);
        if (new_target)
            *new_target = isNew ? 1 : 0;
        return QUILLET_OK;
    });
}

int quillet_remote_restart_batch(quillet_player* handle)
{
    return WithPart(handle, &Player::Remote, [&](Player&, FFRemoteWrapper& r) -> int {
        r.WaitForSeek();
        return QUILLET_OK;
    });
}

} // extern "C"

static_assert(QUILLET_LIVE_NEWEST == static_cast<int>(LiveReading::Newest) &&
              QUILLET_LIVE_EVERY == static_cast<int>(LiveReading::Every));
