/* Prints the C interface's binary layout: every public struct's size and
 * fields (offset and size) and every constant's value, one fact per line,
 * for scripts/check-abi.sh to compare with the baseline in abi/. */
#include <quillet/quillet.h>
#include <stddef.h>
#include <stdio.h>

#define SIZE(T) printf("sizeof %s %zu\n", #T, sizeof(T))
#define FIELD(T, f) printf("field %s.%s %zu %zu\n", #T, #f, offsetof(T, f), sizeof(((T*)0)->f))
#define VALUE(c) printf("value %s %lld\n", #c, (long long)(c))

int main(void)
{
    SIZE(quillet_picture);
    FIELD(quillet_picture, data);
    FIELD(quillet_picture, width);
    FIELD(quillet_picture, height);
    FIELD(quillet_picture, stride);
    FIELD(quillet_picture, time);
    FIELD(quillet_picture, first);
    FIELD(quillet_picture, size);
    FIELD(quillet_picture, status);
    FIELD(quillet_picture, pixel_format);
    SIZE(quillet_thumbnail);
    FIELD(quillet_thumbnail, index);
    FIELD(quillet_thumbnail, requested);
    FIELD(quillet_thumbnail, error);
    FIELD(quillet_thumbnail, picture);
    SIZE(quillet_event);
    FIELD(quillet_event, type);
    FIELD(quillet_event, code);
    FIELD(quillet_event, text);
    FIELD(quillet_event, url);
    FIELD(quillet_event, video_time);
    FIELD(quillet_event, pc_time);
    FIELD(quillet_event, is_good);
    FIELD(quillet_event, missed);
    FIELD(quillet_event, missed_total);
    FIELD(quillet_event, dropped);
    SIZE(quillet_recording_settings);
    FIELD(quillet_recording_settings, size);
    FIELD(quillet_recording_settings, segment_seconds);
    FIELD(quillet_recording_settings, name_pattern);
    FIELD(quillet_recording_settings, keep_bytes);
    FIELD(quillet_recording_settings, keep_seconds);
    FIELD(quillet_recording_settings, min_free_bytes);
    SIZE(quillet_source_settings);
    FIELD(quillet_source_settings, size);
    FIELD(quillet_source_settings, stream_using_tcp);
    FIELD(quillet_source_settings, use_time_filter);
    FIELD(quillet_source_settings, use_only_video);
    FIELD(quillet_source_settings, require_rtcp);
    FIELD(quillet_source_settings, create_timing_log);
    FIELD(quillet_source_settings, timing_log_folder);
    FIELD(quillet_source_settings, username);
    FIELD(quillet_source_settings, password);
    FIELD(quillet_source_settings, audio_latency_ms);
    FIELD(quillet_source_settings, video_latency_ms);
    FIELD(quillet_source_settings, sync_shift_ms);
    FIELD(quillet_source_settings, rtcp_timeout_ms);
    FIELD(quillet_source_settings, packet_timeout_ms);
    FIELD(quillet_source_settings, decoding_threads);
    FIELD(quillet_source_settings, live_reading);
    SIZE(quillet_publishing_status);
    FIELD(quillet_publishing_status, url);
    FIELD(quillet_publishing_status, state);
    FIELD(quillet_publishing_status, bytes);
    FIELD(quillet_publishing_status, packets);
    FIELD(quillet_publishing_status, queued);
    FIELD(quillet_publishing_status, reconnects);
    FIELD(quillet_publishing_status, last_error);
    SIZE(quillet_audio_buffer);
    FIELD(quillet_audio_buffer, data);
    FIELD(quillet_audio_buffer, size);
    SIZE(quillet_audio_sink);
    FIELD(quillet_audio_sink, size);
    FIELD(quillet_audio_sink, user);
    FIELD(quillet_audio_sink, wants_audio);
    FIELD(quillet_audio_sink, get_buffers);
    FIELD(quillet_audio_sink, submit_buffers);
    SIZE(quillet_log_line);
    FIELD(quillet_log_line, level);
    FIELD(quillet_log_line, category);
    FIELD(quillet_log_line, text);
    FIELD(quillet_log_line, time_us);
    VALUE(QUILLET_VERSION_MAJOR);
    VALUE(QUILLET_OK);
    VALUE(QUILLET_AGAIN);
    VALUE(QUILLET_END);
    VALUE(QUILLET_INTERRUPTED);
    VALUE(QUILLET_STOP_PENDING);
    VALUE(QUILLET_ERROR_INVALID_HANDLE);
    VALUE(QUILLET_ERROR_INVALID_ARGUMENT);
    VALUE(QUILLET_ERROR_WRONG_KIND);
    VALUE(QUILLET_ERROR_OPEN_FAILED);
    VALUE(QUILLET_ERROR_STATE);
    VALUE(QUILLET_ERROR_BUFFER_TOO_SMALL);
    VALUE(QUILLET_ERROR_NO_MEMORY);
    VALUE(QUILLET_ERROR_DECODE);
    VALUE(QUILLET_ERROR_NOT_SUPPORTED);
    VALUE(QUILLET_ERROR_FAILED);
    VALUE(QUILLET_ERROR_INTERNAL);
    VALUE(QUILLET_ERROR_INVALID_DATA);
    VALUE(QUILLET_PIXEL_RGB24);
    VALUE(QUILLET_PIXEL_BGR24);
    VALUE(QUILLET_KIND_PLAYER);
    VALUE(QUILLET_KIND_RECORDER);
    VALUE(QUILLET_KIND_LIVE_SERVER);
    VALUE(QUILLET_KIND_PLAY_SERVER);
    VALUE(QUILLET_KIND_REMOTE);
    VALUE(QUILLET_PICTURE_READY);
    VALUE(QUILLET_PICTURE_SEEK_PENDING);
    VALUE(QUILLET_LIVE_NEWEST);
    VALUE(QUILLET_LIVE_EVERY);
    VALUE(QUILLET_EVENT_NONE);
    VALUE(QUILLET_EVENT_MESSAGE);
    VALUE(QUILLET_EVENT_SYNC_POINT);
    VALUE(QUILLET_EVENT_CONNECTION_STATUS);
    VALUE(QUILLET_EVENT_PUBLISHING_STATUS);
    VALUE(QUILLET_EVENT_MISSED_PICTURES);
    VALUE(QUILLET_MESSAGE_NO_ERROR);
    VALUE(QUILLET_MESSAGE_FILE_SINK_ERROR);
    VALUE(QUILLET_MESSAGE_SOURCE_ERROR);
    VALUE(QUILLET_MESSAGE_RTSP_SOURCE_ERROR);
    VALUE(QUILLET_MESSAGE_END_OF_STREAM);
    VALUE(QUILLET_MESSAGE_SYNC_POINT_READY);
    VALUE(QUILLET_MESSAGE_STREAM_REFUSED);
    VALUE(QUILLET_MESSAGE_RECORDING_FELL_BEHIND);
    VALUE(QUILLET_CONNECTED);
    VALUE(QUILLET_DISCONNECTED);
    VALUE(QUILLET_CONNECTION_LOST);
    VALUE(QUILLET_PUBLISH_CONNECTING);
    VALUE(QUILLET_PUBLISH_PUBLISHING);
    VALUE(QUILLET_PUBLISH_RETRYING);
    VALUE(QUILLET_PUBLISH_FINISHED);
    VALUE(QUILLET_PUBLISH_FAILED);
    VALUE(QUILLET_PUBLISH_STOPPED);
    VALUE(QUILLET_LOG_ERROR);
    VALUE(QUILLET_LOG_WARNING);
    VALUE(QUILLET_LOG_INFO);
    VALUE(QUILLET_LOG_DEBUG);
    return 0;
}
