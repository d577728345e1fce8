/* Prints the C interface's binary layout: every public struct's size and
 * fields (offset and size) and every constant's value, one fact per line,
 * for scripts/check-abi.sh to compare with the baseline in abi/. */
#include <quillet/quillet.h>
#include <stddef.h>
#include <stdio.h>

#define FIELD(T, f) printf("field %s.%s %zu %zu\n", #T, #f, offsetof(T, f), sizeof(((T*)0)->f));
#define VALUE(unused, c) printf("value %s %lld\n", #c, (long long)(c));

/* M(T, x) for each x of up to 17 arguments. */
#define EACH_1(M, T, x) M(T, x)
#define EACH_2(M, T, x, ...) M(T, x) EACH_1(M, T, __VA_ARGS__)
#define EACH_3(M, T, x, ...) M(T, x) EACH_2(M, T, __VA_ARGS__)
#define EACH_4(M, T, x, ...) M(T, x) EACH_3(M, T, __VA_ARGS__)
#define EACH_5(M, T, x, ...) M(T, x) EACH_4(M, T, __VA_ARGS__)
#define EACH_6(M, T, x, ...) M(T, x) EACH_5(M, T, __VA_ARGS__)
#define EACH_7(M, T, x, ...) M(T, x) EACH_6(M, T, __VA_ARGS__)
#define EACH_8(M, T, x, ...) M(T, x) EACH_7(M, T, __VA_ARGS__)
#define EACH_9(M, T, x, ...) M(T, x) EACH_8(M, T, __VA_ARGS__)
#define EACH_10(M, T, x, ...) M(T, x) EACH_9(M, T, __VA_ARGS__)
#define EACH_11(M, T, x, ...) M(T, x) EACH_10(M, T, __VA_ARGS__)
#define EACH_12(M, T, x, ...) M(T, x) EACH_11(M, T, __VA_ARGS__)
#define EACH_13(M, T, x, ...) M(T, x) EACH_12(M, T, __VA_ARGS__)
#define EACH_14(M, T, x, ...) M(T, x) EACH_13(M, T, __VA_ARGS__)
#define EACH_15(M, T, x, ...) M(T, x) EACH_14(M, T, __VA_ARGS__)
#define EACH_16(M, T, x, ...) M(T, x) EACH_15(M, T, __VA_ARGS__)
#define EACH_17(M, T, x, ...) M(T, x) EACH_16(M, T, __VA_ARGS__)
#define PICK(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, _17, NAME, ...) NAME
#define EACH(M, T, ...)                                                                                       \
    PICK(__VA_ARGS__, EACH_17, EACH_16, EACH_15, EACH_14, EACH_13, EACH_12, EACH_11, EACH_10, EACH_9, EACH_8, \
         EACH_7, EACH_6, EACH_5, EACH_4, EACH_3, EACH_2, EACH_1, -)(M, T, __VA_ARGS__)

/* A struct's size and each of the fields named. */
#define LAYOUT(T, ...) printf("sizeof %s %zu\n", #T, sizeof(T)); EACH(FIELD, T, __VA_ARGS__)
#define VALUES(...) EACH(VALUE, -, __VA_ARGS__)

int main(void)
{
    LAYOUT(quillet_picture, data, width, height, stride, time, first, size, status, pixel_format)
    LAYOUT(quillet_thumbnail, index, requested, error, picture)
    LAYOUT(quillet_event, type, code, text, url, video_time, pc_time, is_good, missed, missed_total, dropped)
    LAYOUT(quillet_recording_settings, size, segment_seconds, name_pattern, keep_bytes, keep_seconds, min_free_bytes)
    LAYOUT(quillet_source_settings, size, stream_using_tcp, use_time_filter, use_only_video, require_rtcp,
           create_timing_log, timing_log_folder, username, password, audio_latency_ms, video_latency_ms, sync_shift_ms,
           rtcp_timeout_ms, packet_timeout_ms, decoding_threads, live_reading)
    LAYOUT(quillet_publishing_status, url, state, bytes, packets, queued, reconnects, last_error)
    LAYOUT(quillet_audio_buffer, data, size)
    LAYOUT(quillet_audio_sink, size, user, wants_audio, get_buffers, submit_buffers)
    LAYOUT(quillet_log_line, level, category, text, time_us)
    VALUES(QUILLET_OK, QUILLET_AGAIN, QUILLET_END, QUILLET_INTERRUPTED, QUILLET_STOP_PENDING,
           QUILLET_ERROR_INVALID_HANDLE, QUILLET_ERROR_INVALID_ARGUMENT, QUILLET_ERROR_WRONG_KIND,
           QUILLET_ERROR_OPEN_FAILED, QUILLET_ERROR_STATE, QUILLET_ERROR_BUFFER_TOO_SMALL, QUILLET_ERROR_NO_MEMORY,
           QUILLET_ERROR_DECODE, QUILLET_ERROR_NOT_SUPPORTED, QUILLET_ERROR_FAILED, QUILLET_ERROR_INTERNAL,
           QUILLET_ERROR_INVALID_DATA)
    VALUE(-, QUILLET_VERSION_MAJOR) /* a macro: named here before an argument list expands it */
    VALUES(QUILLET_PIXEL_RGB24, QUILLET_PIXEL_BGR24, QUILLET_PICTURE_READY,
           QUILLET_PICTURE_SEEK_PENDING, QUILLET_LIVE_NEWEST, QUILLET_LIVE_EVERY, QUILLET_LOG_ERROR, QUILLET_LOG_WARNING,
           QUILLET_LOG_INFO, QUILLET_LOG_DEBUG)
    VALUES(QUILLET_KIND_PLAYER, QUILLET_KIND_RECORDER, QUILLET_KIND_LIVE_SERVER, QUILLET_KIND_PLAY_SERVER,
           QUILLET_KIND_REMOTE, QUILLET_EVENT_NONE, QUILLET_EVENT_MESSAGE, QUILLET_EVENT_SYNC_POINT,
           QUILLET_EVENT_CONNECTION_STATUS, QUILLET_EVENT_PUBLISHING_STATUS, QUILLET_EVENT_MISSED_PICTURES)
    VALUES(QUILLET_MESSAGE_NO_ERROR, QUILLET_MESSAGE_FILE_SINK_ERROR, QUILLET_MESSAGE_SOURCE_ERROR,
           QUILLET_MESSAGE_RTSP_SOURCE_ERROR, QUILLET_MESSAGE_END_OF_STREAM, QUILLET_MESSAGE_SYNC_POINT_READY,
           QUILLET_MESSAGE_STREAM_REFUSED, QUILLET_MESSAGE_RECORDING_FELL_BEHIND, QUILLET_CONNECTED,
           QUILLET_DISCONNECTED, QUILLET_CONNECTION_LOST)
    VALUES(QUILLET_PUBLISH_CONNECTING, QUILLET_PUBLISH_PUBLISHING, QUILLET_PUBLISH_RETRYING, QUILLET_PUBLISH_FINISHED,
           QUILLET_PUBLISH_FAILED, QUILLET_PUBLISH_STOPPED)
    return 0;
}
