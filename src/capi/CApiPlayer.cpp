// The C interface's handles, playing and pictures (quillet.h). Each function
// runs in WithPlayer/Guard (Handles.h): no exception leaves it.
#include <algorithm>
#include <cstring>

#include "capi/Handles.h"
#include "decode/DecoderThreads.h"
#include "facade/Version.h"

using namespace Quillet::CApi;
using Quillet::DecoderThreads;
using Quillet::FFWrapperCLI::FFWrapper;
using Quillet::FFWrapperCLI::StopResult;

static_assert(QUILLET_VERSION_MAJOR == QUILLET_PROJECT_VERSION_MAJOR &&
                  QUILLET_VERSION_MINOR == QUILLET_PROJECT_VERSION_MINOR,
              "quillet.h states another version than the project");

namespace Quillet::CApi {

HandleRegistry<Player, quillet_player>& Players()
{
    static auto* players = new HandleRegistry<Player, quillet_player>;
    return *players;
}

HandleRegistry<Client, quillet_client>& Clients()
{
    static auto* clients = new HandleRegistry<Client, quillet_client>;
    return *clients;
}

} // namespace Quillet::CApi

namespace {

quillet_player* CreateHandle(int kind, const char* logCategory) noexcept
{
    quillet_player* handle = nullptr;
    Guard([&]() -> int {
        std::shared_ptr<Player> player = Player::Create(kind, logCategory ? logCategory : "FF1");
        handle = Players().Add(std::move(player));
        return QUILLET_OK;
    });
    return handle;
}

// A boolean facade answer as a status: false is `refused` with `why`.
int Check(bool ok, int refused, const char* why)
{
    return ok ? QUILLET_OK : Fail(refused, why);
}

// A size the facade gave: none (-1, or 0 from an engine without a source) is -1, -1.
int Dimensions(int* width, int* height)
{
    if (*width > 0 && *height > 0)
        return QUILLET_OK;
    *width = *height = -1;
    return Fail(QUILLET_ERROR_STATE, "no source is open");
}

} // namespace

extern "C" {

unsigned quillet_version(void)
{
    return (static_cast<unsigned>(QUILLET_PROJECT_VERSION_MAJOR) << 16) | QUILLET_PROJECT_VERSION_MINOR;
}

const char* quillet_build_description(void)
{
    static const std::string* text = [] {
        try {
            return new std::string(Quillet::FFWrapperCLI::DescribeBuild());
        } catch (...) {
            return new std::string("quillet");
        }
    }();
    return text->c_str();
}

const char* quillet_status_name(int status)
{
    switch (status) {
    case QUILLET_OK: return "QUILLET_OK";
    case QUILLET_AGAIN: return "QUILLET_AGAIN";
    case QUILLET_END: return "QUILLET_END";
    case QUILLET_INTERRUPTED: return "QUILLET_INTERRUPTED";
    case QUILLET_STOP_PENDING: return "QUILLET_STOP_PENDING";
    case QUILLET_ERROR_INVALID_HANDLE: return "QUILLET_ERROR_INVALID_HANDLE";
    case QUILLET_ERROR_INVALID_ARGUMENT: return "QUILLET_ERROR_INVALID_ARGUMENT";
    case QUILLET_ERROR_WRONG_KIND: return "QUILLET_ERROR_WRONG_KIND";
    case QUILLET_ERROR_OPEN_FAILED: return "QUILLET_ERROR_OPEN_FAILED";
    case QUILLET_ERROR_STATE: return "QUILLET_ERROR_STATE";
    case QUILLET_ERROR_BUFFER_TOO_SMALL: return "QUILLET_ERROR_BUFFER_TOO_SMALL";
    case QUILLET_ERROR_NO_MEMORY: return "QUILLET_ERROR_NO_MEMORY";
    case QUILLET_ERROR_DECODE: return "QUILLET_ERROR_DECODE";
    case QUILLET_ERROR_NOT_SUPPORTED: return "QUILLET_ERROR_NOT_SUPPORTED";
    case QUILLET_ERROR_FAILED: return "QUILLET_ERROR_FAILED";
    case QUILLET_ERROR_INTERNAL: return "QUILLET_ERROR_INTERNAL";
    case QUILLET_ERROR_INVALID_DATA: return "QUILLET_ERROR_INVALID_DATA";
    default: return "unknown status";
    }
}

const char* quillet_error_message(void)
{
    return LastError();
}

quillet_player* quillet_player_create(const char* log_category)
{
    return CreateHandle(QUILLET_KIND_PLAYER, log_category);
}

quillet_player* quillet_recorder_create(const char* log_category)
{
    return CreateHandle(QUILLET_KIND_RECORDER, log_category);
}

quillet_player* quillet_live_server_create(const char* log_category)
{
    return CreateHandle(QUILLET_KIND_LIVE_SERVER, log_category);
}

quillet_player* quillet_play_server_create(const char* log_category)
{
    return CreateHandle(QUILLET_KIND_PLAY_SERVER, log_category);
}

quillet_player* quillet_remote_create(const char* log_category)
{
    return CreateHandle(QUILLET_KIND_REMOTE, log_category);
}

void quillet_player_destroy(quillet_player* handle)
{
    Guard([&]() -> int {
        std::shared_ptr<Player> player = Players().Take(handle);
        if (!player)
            return QUILLET_OK;
        // No callback starts once destroy has begun; the waits end at once; the facade's dispose
        // interrupts an open or read itself.
        player->SetEventCallback(nullptr, nullptr);
        player->SetWakeupCallback(nullptr, nullptr);
        player->Signal().Close();
        // From the callback on a library thread the dispose must end, the teardown completes when
        // the callback returns; the event holds the player until then.
        player->Shutdown();
        return QUILLET_OK;
    });
}

int quillet_player_get_kind(quillet_player* handle, int* kind)
{
    return WithPlayer(handle, [&](Player& p) -> int { return Answer(kind, p.kind); });
}

int quillet_player_open(quillet_player* handle, const char* url)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(url && *url, "the URL is NULL or empty");
        if (p.Remote())
            return Fail(QUILLET_ERROR_WRONG_KIND, "a remote player is fed with quillet_remote_write, not opened");
        p.DropHeld();
        // What was open goes first, as quillet_player_close closes it (a
        // close the end of the stream scheduled included), so the new source
        // never races with the old one's end. Inside the event callback on
        // the source's own thread the close finishes once the callback returns.
        p.Facade().CloseSource();
        const HandleSignal::Mark began = p.Signal().Now();
        const bool opened = p.Opening([&] { return p.Facade().OpenSource(url); });
        p.Signal().Bump();
        p.decoderSet = false; // the new source is not connected to the decoder yet
        if (opened) {
            p.closed = false;
            return QUILLET_OK;
        }
        if (p.Signal().Now().interrupts != began.interrupts)
            return Fail(QUILLET_INTERRUPTED, "the open was interrupted");
        const std::string reason = p.Facade().GetOpenFailureReason();
        return Fail(QUILLET_ERROR_OPEN_FAILED, reason.empty() ? "the source could not be opened" : reason);
    });
}

int quillet_player_get_open_failure(quillet_player* handle, const char** reason)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(reason != nullptr, "the output pointer is NULL");
        *reason = KeepForThread(kOpenFailure, p.Facade().GetOpenFailureReason());
        return QUILLET_OK;
    });
}

int quillet_player_set_network_timeout(quillet_player* handle, double seconds)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(seconds >= 0.0, "the timeout is negative");
        p.Facade().SetNetworkTimeout(seconds);
        return QUILLET_OK;
    });
}

int quillet_player_set_pixel_format(quillet_player* handle, int format)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(format == QUILLET_PIXEL_RGB24 || format == QUILLET_PIXEL_BGR24, "unknown pixel format");
        p.Facade().DecodeVideo(format);
        p.pixelFormat = format;
        p.decoderSet = true;
        return QUILLET_OK;
    });
}

int quillet_player_start(quillet_player* handle)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        if (p.closed)
            return Fail(QUILLET_ERROR_STATE, "the source was closed; open one before starting");
        // A player is for pictures: without a pixel format it decodes into
        // the one set last, or BGR24, rather than give none for ever.
        if (p.kind == QUILLET_KIND_PLAYER && !p.decoderSet.exchange(true)) {
            const int format = p.pixelFormat >= 0 ? p.pixelFormat.load() : QUILLET_PIXEL_BGR24;
            p.Facade().DecodeVideo(format);
            p.pixelFormat = format;
        }
        const bool started = p.Opening([&] { return p.Facade().StartEngine(); });
        p.Signal().Bump();
        return Check(started, QUILLET_ERROR_STATE, "no source is open, or it could not be started");
    });
}

int quillet_player_stop(quillet_player* handle)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        return Stopped(p.Facade().StopEngine());
    });
}

int quillet_player_close(quillet_player* handle)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        p.DropHeld();
        p.closed = true;
        const StopResult result = p.Facade().CloseSource();
        p.Signal().Bump();
        return Stopped(result);
    });
}

int quillet_player_pause(quillet_player* handle)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        p.Facade().Pause();
        return QUILLET_OK;
    });
}

int quillet_player_resume(quillet_player* handle)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        p.Facade().Continue();
        p.Signal().Bump();
        return QUILLET_OK;
    });
}

int quillet_player_flush(quillet_player* handle)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        p.DropHeld();
        p.Facade().Flush();
        p.Signal().Bump();
        return QUILLET_OK;
    });
}

int quillet_player_is_paused(quillet_player* handle, int* paused)
{
    return WithPlayer(handle, [&](Player& p) -> int { return Answer(paused, p.Facade().IsPause() ? 1 : 0); });
}

int quillet_player_is_ready(quillet_player* handle, int* ready)
{
    return WithPlayer(handle, [&](Player& p) -> int { return Answer(ready, p.Facade().IsReady() ? 1 : 0); });
}

int quillet_player_read_picture(quillet_player* handle, quillet_picture* picture, int timeout_ms)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        quillet_buffer* buffer = nullptr;
        return p.Read(picture, &buffer, timeout_ms);
    });
}

int quillet_player_read_picture_ref(quillet_player* handle, quillet_picture* picture, quillet_buffer** ref,
                                    int timeout_ms)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(ref != nullptr, "the reference pointer is NULL");
        *ref = nullptr;
        quillet_buffer* buffer = nullptr;
        const int status = p.Read(picture, &buffer, timeout_ms);
        if (status == QUILLET_OK) {
            buffer->refs.fetch_add(1);
            *ref = buffer;
        }
        return status;
    });
}

int quillet_player_read_picture_into(quillet_player* handle, uint8_t* dst, size_t dst_size, int dst_stride,
                                     quillet_picture* info, int timeout_ms)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(dst != nullptr && dst_stride > 0, "the destination is NULL or its stride not positive");
        quillet_picture read{};
        quillet_buffer* buffer = nullptr;
        CallerBuffer caller{dst, dst_size, dst_stride};
        const int status = p.Read(&read, &buffer, timeout_ms, &caller);
        if (info)
            info->status = read.status;
        if (status != QUILLET_OK)
            return status;
        if (caller.filled) {
            if (info)
                *info = read;
            return QUILLET_OK;
        }
        const size_t row = static_cast<size_t>(read.width) * 3;
        const size_t stride = static_cast<size_t>(dst_stride);
        const size_t needed = read.height > 0 ? stride * static_cast<size_t>(read.height - 1) + row : 0;
        if (info) {
            *info = read;
            info->stride = dst_stride;
            info->size = static_cast<int>(stride * static_cast<size_t>(read.height));
            info->data = nullptr;
        }
        if (stride < row || dst_size < needed) {
            p.HoldCurrent();
            return Fail(QUILLET_ERROR_BUFFER_TOO_SMALL, "the picture does not fit the buffer; it is kept for the next read");
        }
        for (int y = 0; y < read.height; ++y)
            std::memcpy(dst + stride * static_cast<size_t>(y), read.data + static_cast<size_t>(read.stride) * y, row);
        if (info)
            info->data = dst;
        return QUILLET_OK;
    });
}

int quillet_buffer_retain(quillet_buffer* buffer)
{
    if (!buffer)
        return Fail(QUILLET_ERROR_INVALID_HANDLE, "the buffer is NULL");
    buffer->refs.fetch_add(1);
    ClearError();
    return QUILLET_OK;
}

void quillet_buffer_release(quillet_buffer* buffer)
{
    ReleaseBuffer(buffer);
}

const uint8_t* quillet_buffer_data(const quillet_buffer* buffer)
{
    return buffer ? buffer->frame.frame.data() : nullptr;
}

size_t quillet_buffer_size(const quillet_buffer* buffer)
{
    return buffer ? static_cast<size_t>(buffer->frame.size) : 0;
}

int quillet_player_get_dimensions(quillet_player* handle, int* width, int* height)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(width && height, "an output pointer is NULL");
        p.Facade().GetDimensions(*width, *height);
        return Dimensions(width, height);
    });
}

int quillet_player_get_render_dimensions(quillet_player* handle, int* width, int* height)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(width && height, "an output pointer is NULL");
        *width = p.Facade().RenderWidth();
        *height = p.Facade().RenderHeight();
        return Dimensions(width, height);
    });
}

int quillet_player_get_capture_time(quillet_player* handle, int64_t* utc_us, int* trusted)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        const auto [ticks, good] = p.LastCaptureTime();
        if (utc_us)
            *utc_us = ticks / 10;
        if (trusted)
            *trusted = good ? 1 : 0;
        return QUILLET_OK;
    });
}

int quillet_player_get_duration(quillet_player* handle, double* seconds)
{
    return WithPlayer(handle, [&](Player& p) -> int { return Answer(seconds, p.Facade().GetDuration()); });
}

int quillet_player_seek(quillet_player* handle, double seconds)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(seconds >= 0.0, "the seek target is negative");
        p.DropHeld();
        const bool sought = p.Facade().Seek(seconds);
        p.Signal().Bump();
        return sought ? QUILLET_OK : Fail(QUILLET_ERROR_STATE, "no source, or the decoder is not ready to seek yet");
    });
}

int quillet_player_set_optimize_seek(quillet_player* handle, int enable)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        p.Facade().SetOptimizeSeek(enable != 0);
        return QUILLET_OK;
    });
}

int quillet_player_get_optimize_seek(quillet_player* handle, int* enabled)
{
    return WithPlayer(handle, [&](Player& p) -> int { return Answer(enabled, p.Facade().IsOptimizeSeek() ? 1 : 0); });
}

int quillet_player_is_oob(quillet_player* handle, double seconds, int* oob, int* pending)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(oob != nullptr, "the output pointer is NULL");
        bool waiting = false;
        *oob = p.Facade().IsOOB(seconds, waiting) ? 1 : 0;
        if (pending)
            *pending = waiting ? 1 : 0;
        return QUILLET_OK;
    });
}

int quillet_player_get_seek_time(quillet_player* handle, double* seconds)
{
    return WithPlayer(handle, [&](Player& p) -> int { return Answer(seconds, p.Facade().GetSeekTime()); });
}

int quillet_player_set_decoding_threads(quillet_player* handle, int threads)
{
    return WithPlayer(handle, [&](Player& p) -> int {
        Require(threads >= 0, "the thread count is negative");
        Require(threads <= DecoderThreads::kMostThreads, "more decoding threads than a decoder can use (16 at most)");
        p.Facade().SetDecodingThreads(threads);
        return QUILLET_OK;
    });
}

int quillet_player_get_decoding_threads(quillet_player* handle, int* threads)
{
    return WithPlayer(handle, [&](Player& p) -> int { return Answer(threads, p.Facade().GetDecodingThreads()); });
}

} // extern "C"
