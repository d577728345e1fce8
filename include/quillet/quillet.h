/* The C interface of the Quillet media library: the one surface every
 * language binds to (C, Python, C#, Go, Rust ...). It reaches everything the
 * C++ facades offer: playing, recording, serving, remote playing, publishing
 * and camera settings. Plain C99 (stdint.h and stddef.h only).
 */
#ifndef QUILLET_QUILLET_H_
#define QUILLET_QUILLET_H_

#include <stddef.h>
#include <stdint.h>

#include "Export.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * @file quillet.h
 * @brief The C interface: handles, status codes, pulled events.
 *
 * How it works
 * ------------
 *
 * - **Handles.** quillet_player is one opaque handle for each of the five
 *   facades: a plain player (quillet_player_create), a recorder
 *   (quillet_recorder_create), a live server (quillet_live_server_create),
 *   a playback server (quillet_play_server_create) and a remote player
 *   (quillet_remote_create). Every quillet_player_* function works on all of
 *   them; quillet_recorder_*, quillet_server_* and quillet_remote_* need the
 *   kind that offers them and answer ::QUILLET_ERROR_WRONG_KIND otherwise.
 *   Served clients have handles of their own (quillet_client).
 *
 * - **Status codes.** Every function returns a status code (or a handle,
 *   NULL on failure): ::QUILLET_OK and the other non-negative codes for
 *   success, negative codes for errors. quillet_status_name() names each
 *   code, quillet_error_message() gives the last failure's detail on the
 *   calling thread. No C++ exception crosses this interface. A NULL, unknown
 *   or destroyed handle gives ::QUILLET_ERROR_INVALID_HANDLE, never a crash
 *   (the library checks each handle against those it handed out). A handle
 *   is a number the process never gives twice, not an address: a destroyed
 *   handle stays invalid however many handles are created after it, and
 *   never reaches a newer object.
 *
 * - **Threads.** Every function may be called from any thread unless its
 *   comment says otherwise; calls on one handle are serialised by the
 *   handle's lock, except quillet_player_destroy(), quillet_player_interrupt()
 *   and the waits, which never wait for another call to finish before they
 *   act. Functions marked "blocks" wait for the stated condition; everything
 *   else returns promptly (a stop or close waits for the library's threads
 *   of that handle to end, which takes at most a few hundred milliseconds).
 *
 * - **Blocking and waking.** Reads and waits take a timeout in milliseconds:
 *   0 returns at once, a negative value waits without limit. They block on
 *   something the library signals (a picture arriving, an event, the end of
 *   the stream), never in a sleep loop. quillet_player_interrupt() or
 *   quillet_player_destroy() from another thread ends them within 100 ms.
 *
 * - **Events are pulled.** Each handle keeps a bounded queue of events (end
 *   of stream, errors, connection status, sync points, publishing status,
 *   missed pictures); quillet_player_wait_event() takes them. When the
 *   application does not drain it, the oldest events are dropped and
 *   counted (quillet_event::dropped), never the library's progress. An
 *   optional wakeup callback says "an event is waiting"; an optional event
 *   callback receives every event synchronously on the thread that reports
 *   it (see quillet_player_set_event_callback()).
 *
 * - **Ownership.** The library frees what it returns; the application frees
 *   what it allocates. Buffers handed in (quillet_remote_write()) are only
 *   read during the call. Strings are UTF-8 and NUL-terminated. A string
 *   the library returns stays valid until the same thread calls the same
 *   function again (for events: until that thread takes its next event), or
 *   as the function's comment says.
 *
 * - **Structs.** Structs the application fills for the library and that may
 *   grow (quillet_source_settings, quillet_audio_sink) carry their own size
 *   as the first field: set it with sizeof, or use the _init function. A
 *   record of an earlier release (a smaller size) is taken: the fields past
 *   its size keep their defaults.
 *   Structs the library fills (quillet_picture, quillet_event,
 *   quillet_publishing_status) need nothing from the caller; a zeroed
 *   struct is fine. Within a major version this interface only grows:
 *   functions, constants and trailing struct fields are added, never
 *   changed or removed.
 */

/** @defgroup quillet_c The C interface
 * @{ */


/* ------------------------------------------------------------------------ */
/** @name Version and status */
/** @{ */

/** Major version of the header compiled against. */
#define QUILLET_VERSION_MAJOR 0
/** Minor version of the header compiled against. */
#define QUILLET_VERSION_MINOR 2
/** (major << 16) | minor of the header compiled against; compare with quillet_version(). */
#define QUILLET_VERSION ((unsigned)((QUILLET_VERSION_MAJOR << 16) | QUILLET_VERSION_MINOR))

/** Status codes. Non-negative values are successes, negative values errors. */
enum quillet_status {
    QUILLET_OK = 0,          /**< Done; for reads: a picture or event was handed out. */
    QUILLET_AGAIN = 1,       /**< Nothing within the timeout (or not taken now: offer again). */
    QUILLET_END = 2,         /**< End of the stream (handed out once, as the facade's -1). */
    QUILLET_INTERRUPTED = 3, /**< A wait ended by quillet_player_interrupt() or a destroy. */
    QUILLET_STOP_PENDING = 4, /**< A stop or close asked inside an event callback, on the library thread it
                                   must end: that thread is told to stop, and the stop completes as soon
                                   as the callback returns (nothing more to call). */

    QUILLET_ERROR_INVALID_HANDLE = -1,   /**< NULL, unknown or destroyed handle. */
    QUILLET_ERROR_INVALID_ARGUMENT = -2, /**< A NULL pointer, empty string or value out of range. */
    QUILLET_ERROR_WRONG_KIND = -3,       /**< This kind of handle does not offer the operation. */
    QUILLET_ERROR_OPEN_FAILED = -4,      /**< The source could not be opened; see quillet_player_get_open_failure(). */
    QUILLET_ERROR_STATE = -5,            /**< Not possible now (no source, no sound, not running ...). */
    QUILLET_ERROR_BUFFER_TOO_SMALL = -6, /**< The caller's buffer cannot take the result; nothing is lost. */
    QUILLET_ERROR_NO_MEMORY = -7,        /**< An allocation failed. */
    QUILLET_ERROR_DECODE = -8,           /**< Decoding failed in a way the application must see. */
    QUILLET_ERROR_NOT_SUPPORTED = -9,    /**< This build does not offer the operation yet. */
    QUILLET_ERROR_FAILED = -10,          /**< The operation was refused; quillet_error_message() says why. */
    QUILLET_ERROR_INTERNAL = -11,        /**< An unexpected failure inside the library. */
    QUILLET_ERROR_INVALID_DATA = -12     /**< The data given is malformed (a remote batch no server made): giving it again cannot help. */
};

/** The version of the library running: (major << 16) | minor. Any thread, never blocks. */
QUILLET_EXPORT unsigned quillet_version(void);

/** The library's version and build facts as text, one fact per line ("quillet 0.2.0",
 * "libavcodec 59.37.100 (built with 59.37.100)", ...). Valid for the life of the process; never
 * NULL. Any thread, never blocks. */
QUILLET_EXPORT const char* quillet_build_description(void);

/** The constant name of a status code ("QUILLET_OK", "QUILLET_ERROR_STATE", ...); "unknown status"
 * for other values. Static storage; never NULL. Any thread, never blocks. */
QUILLET_EXPORT const char* quillet_status_name(int status);

/** The last failure on the calling thread, in words ("" when the last call succeeded). Valid until
 * the next call on this thread; never NULL. Any thread, never blocks. */
QUILLET_EXPORT const char* quillet_error_message(void);

/** Applies a logging configuration file (the log4cpp properties format of Config/FFLogger.conf)
 * for the whole process at once; it takes precedence over the environment variable
 * QUILLET_LOG_CONFIG and Config/FFLogger.conf, and "" goes back to those. Without any of them the
 * library writes no log of its own. ::QUILLET_ERROR_FAILED when the file cannot be read or is
 * refused (the configuration then stays as it was). Any thread; reads the file. */
QUILLET_EXPORT int quillet_set_log_configuration(const char* path);

/** How severe a log line is (quillet_log_line::level): syslog's numbers, smaller is more severe. */
enum quillet_log_level {
    QUILLET_LOG_ERROR = 3,
    QUILLET_LOG_WARNING = 4,
    QUILLET_LOG_INFO = 6,
    QUILLET_LOG_DEBUG = 7
};

/** One log line. Its strings live for the callback's call only. */
typedef struct quillet_log_line {
    int level;            /**< A ::quillet_log_level. */
    const char* category; /**< "FFmpeg" for FFmpeg's own messages, else the handle's log category. */
    const char* text;     /**< The message. */
    int64_t time_us;      /**< When it was written: microseconds since 1970-01-01 UTC. */
} quillet_log_line;

/** Receives one log line on the thread that writes it (see quillet_set_log_callback()). */
typedef void (*quillet_log_fn)(void* user, const quillet_log_line* line);

/** Hands every log line of `level` (a ::quillet_log_level) or more severe, the library's and
 * FFmpeg's, to `callback`, synchronously on the thread that writes it: a library thread, an
 * FFmpeg thread, or the application's own inside a call. The callback must return at once and
 * must not call this interface: copy the line and hand it to a thread of the application's.
 * Lines still go wherever the logging configuration sends them. NULL stops; once that call has
 * returned no callback runs. For the whole process; any thread but the callback's. */
QUILLET_EXPORT int quillet_set_log_callback(quillet_log_fn callback, void* user, int level);

/** `url` as the library shows it in log lines and messages: the user name stays, the password
 * becomes "***" (all of it, '@' and ':' included, up to the last '@' before the path). Writes at
 * most `size` bytes with the closing NUL into `out` (may be NULL when `size` is 0) and returns the
 * length of the whole text, as snprintf does: a result of `size` or more means it was cut. NULL
 * `url` gives "". Any thread. */
QUILLET_EXPORT size_t quillet_url_for_log(const char* url, char* out, size_t size);

/** @} */

/* ------------------------------------------------------------------------ */
/** @name Constants */
/** @{ */

/** Pixel formats for quillet_player_set_pixel_format(); FFmpeg's AVPixelFormat numbers. */
enum quillet_pixel_format {
    QUILLET_PIXEL_RGB24 = 2, /**< Packed 24-bit, bytes red, green, blue. */
    QUILLET_PIXEL_BGR24 = 3  /**< Packed 24-bit, bytes blue, green, red. */
};

/** The kinds of quillet_player handles, as quillet_player_get_kind() reports them. */
enum quillet_kind {
    QUILLET_KIND_PLAYER = 0,      /**< quillet_player_create(): plays files, URLs and cameras. */
    QUILLET_KIND_RECORDER = 1,    /**< quillet_recorder_create(): a player that also records. */
    QUILLET_KIND_LIVE_SERVER = 2, /**< quillet_live_server_create(): serves a camera, records. */
    QUILLET_KIND_PLAY_SERVER = 3, /**< quillet_play_server_create(): serves a file at playback pace. */
    QUILLET_KIND_REMOTE = 4       /**< quillet_remote_create(): plays batches from a server. */
};

/** What quillet_picture::status says about the picture handed out. */
enum quillet_picture_status {
    QUILLET_PICTURE_READY = 0,       /**< No seek is pending. */
    QUILLET_PICTURE_SEEK_PENDING = 6 /**< A seek was asked and its first picture has not been handed out yet. */
};

/** Live reading policies (quillet_player_set_live_reading()). */
enum quillet_live_reading {
    QUILLET_LIVE_NEWEST = 0, /**< A live source hands out its newest picture; a slow reader skips. */
    QUILLET_LIVE_EVERY = 1   /**< Every picture in order, held up to a bound, then dropped to a key picture. */
};

/** Event types (quillet_event::type). */
enum quillet_event_type {
    QUILLET_EVENT_NONE = 0,              /**< No event (a wait that found none). */
    QUILLET_EVENT_MESSAGE = 1,           /**< An error, the end of the stream or another notice: quillet_event::code is a quillet_message. */
    QUILLET_EVENT_SYNC_POINT = 2,        /**< A recording's sync point. */
    QUILLET_EVENT_CONNECTION_STATUS = 3, /**< A camera connection changed: quillet_event::code is a quillet_connection_status. */
    QUILLET_EVENT_PUBLISHING_STATUS = 4, /**< A publishing output changed: quillet_event::code is a quillet_publishing_state. */
    QUILLET_EVENT_MISSED_PICTURES = 5    /**< A live reader was given newer pictures and missed some. */
};

/** What a ::QUILLET_EVENT_MESSAGE reports (the facade's FFMessageType numbers). */
enum quillet_message {
    QUILLET_MESSAGE_NO_ERROR = 0,          /**< Nothing went wrong. */
    QUILLET_MESSAGE_FILE_SINK_ERROR = 1,   /**< Writing the recorded file failed; recording stops. */
    QUILLET_MESSAGE_SOURCE_ERROR = 2,      /**< Reading a file or URL failed; the source is closed. */
    QUILLET_MESSAGE_RTSP_SOURCE_ERROR = 3, /**< The camera connection failed; the source is closed. */
    QUILLET_MESSAGE_END_OF_STREAM = 4,     /**< The last picture of the source has been handed out. */
    QUILLET_MESSAGE_SYNC_POINT_READY = 5,  /**< A sync point is ready (arrives as ::QUILLET_EVENT_SYNC_POINT). */
    QUILLET_MESSAGE_STREAM_REFUSED = 6,    /**< One stream cannot be decoded and is given up; the other plays on. */
    QUILLET_MESSAGE_RECORDING_FELL_BEHIND = 7 /**< The recording's disk fell behind a live source: what it could not take was given up; recording goes on from the next key picture. */
};

/** Camera connection states (the facade's ConnectionStatus numbers). */
enum quillet_connection_status {
    QUILLET_CONNECTED = 0,      /**< Streaming (again). */
    QUILLET_DISCONNECTED = 1,   /**< Not connected. */
    QUILLET_CONNECTION_LOST = 2 /**< The connection broke; the library reconnects on its own. */
};

/** Life of one publishing output (the facade's PublishingState numbers). */
enum quillet_publishing_state {
    QUILLET_PUBLISH_CONNECTING = 0, /**< Opening the connection. */
    QUILLET_PUBLISH_PUBLISHING = 1, /**< Connected; packets flow from the first key picture on. */
    QUILLET_PUBLISH_RETRYING = 2,   /**< Connection failed or lost; the next attempt follows a back-off. */
    QUILLET_PUBLISH_FINISHED = 3,   /**< The source ended and the output was closed properly. */
    QUILLET_PUBLISH_FAILED = 4,     /**< Refused for good (URL or codecs unfit for the protocol). */
    QUILLET_PUBLISH_STOPPED = 5     /**< Stopped by the application. */
};

/** @} */

/* ------------------------------------------------------------------------ */
/** @name Records */
/** @{ */

/** A player, recorder, server or remote player (see ::quillet_kind). Opaque. */
typedef struct quillet_player quillet_player;

/** One served client's queue of batches (quillet_server_add_client()). Opaque. */
typedef struct quillet_client quillet_client;

/** A reference-counted picture buffer that outlives the next read (quillet_player_read_picture_ref()). Opaque. */
typedef struct quillet_buffer quillet_buffer;

/** One serialized batch taken from a client, owned by the library until quillet_batch_free(). Opaque. */
typedef struct quillet_batch quillet_batch;

/** One picture. Filled by the library; a zeroed struct is a fine start. */
typedef struct quillet_picture {
    /** The pixels: `height` rows of `width` pixels, `stride` bytes apart, in the pixel format set.
     * After quillet_player_read_picture(): valid until the next read on that player, or its
     * destroy. After quillet_player_read_picture_ref(): valid until the reference is released. */
    const uint8_t* data;
    int width;    /**< Width in pixels. */
    int height;   /**< Height in pixels. */
    int stride;   /**< Bytes from one row to the next. */
    double time;  /**< The picture's media time in seconds. */
    int first;    /**< 1 for the first picture after an open or a seek, else 0. */
    int size;     /**< Bytes of picture data (stride * height). */
    int status;   /**< A ::quillet_picture_status: ::QUILLET_PICTURE_SEEK_PENDING while a seek is pending. Written on every read, whatever it returns. */
    int pixel_format; /**< The ::quillet_pixel_format of `data`. */
} quillet_picture;

/** One event. Filled by the library; a zeroed struct is a fine start. Strings are never NULL
 * ("" when the event has none); they stay valid until the same thread takes its next event (for
 * the event callback: until the callback returns). */
typedef struct quillet_event {
    int type;             /**< A ::quillet_event_type. */
    int code;             /**< MESSAGE: a ::quillet_message; CONNECTION_STATUS: a ::quillet_connection_status; PUBLISHING_STATUS: a ::quillet_publishing_state; else 0. */
    const char* text;     /**< SYNC_POINT: the recorded file's name; CONNECTION_STATUS and PUBLISHING_STATUS: a description; else "". */
    const char* url;      /**< PUBLISHING_STATUS: the output's URL; else "". */
    double video_time;    /**< SYNC_POINT: position in the recorded file, seconds from its start. */
    int64_t pc_time;      /**< SYNC_POINT: the PC's UTC clock at that position, 100-ns ticks since 1970-01-01 00:00 UTC (whole microseconds). */
    int is_good;          /**< SYNC_POINT: 1 when the wall-clock time is trustworthy (a camera's RTCP sender reports). */
    uint64_t missed;      /**< MISSED_PICTURES: pictures skipped by this drop. */
    uint64_t missed_total;/**< MISSED_PICTURES: pictures skipped since the source was opened. */
    uint64_t dropped;     /**< Events the queue dropped (oldest first) since the previous event taken from it. */
} quillet_event;

/** Settings of a live camera connection (quillet_server_set_source_settings(),
 * quillet_player_set_source_settings()). Filled by the application; the library copies it. */
typedef struct quillet_source_settings {
    size_t size;                   /**< sizeof(quillet_source_settings), set by quillet_source_settings_init(). */
    int stream_using_tcp;          /**< Carry the media over the RTSP TCP connection (default 1). */
    int use_time_filter;           /**< Smooth the local-clock estimate until the first RTCP sender report (default 1). */
    int use_only_video;            /**< Ask the camera for video only (default 0). */
    int require_rtcp;              /**< No RTCP sender report within rtcp_timeout_ms fails the camera (default 1). */
    int create_timing_log;         /**< Write a CSV line per packet into timing_log_folder (default 0). */
    const char* timing_log_folder; /**< Folder of the timing log (default ""; NULL reads as ""). */
    const char* username;          /**< Camera user name (default ""). */
    const char* password;          /**< Camera password (default ""). */
    double audio_latency_ms;       /**< Subtracted from the wall-clock time of audio packets (default 0). */
    double video_latency_ms;       /**< Subtracted from the wall-clock time of video packets (default 0). */
    double sync_shift_ms;          /**< Added to the wall-clock time of every packet (default 0). */
    double rtcp_timeout_ms;        /**< Wait for the first RTCP sender report (default 30000). */
    double packet_timeout_ms;      /**< No packet for this long reconnects (default 10000). */
    int decoding_threads;          /**< Video decoding threads when shown: 0 automatic, 1 (default), N (at most 16). */
    int live_reading;              /**< A ::quillet_live_reading (default ::QUILLET_LIVE_NEWEST). */
} quillet_source_settings;

/** How a recorder cuts its recording into segment files and how long it keeps them
 * (quillet_recorder_set_settings()). Filled by the application; the library copies it. */
typedef struct quillet_recording_settings {
    size_t size;             /**< sizeof(quillet_recording_settings), set by quillet_recording_settings_init(). */
    double segment_seconds;  /**< Media seconds after which the next file starts, at the next key picture; 0: one file until stopped or split (default). */
    const char* name_pattern;/**< Names of segment files in the recording's folder: strftime fields give the wall-clock start, {n} the file's number; "" or NULL: the first file's name with "_n" in it (default). */
    int64_t keep_bytes;      /**< Finished segments are deleted, oldest first, while together they exceed this (0: no limit, default). */
    double keep_seconds;     /**< Finished segments older than this are deleted (0: kept, default). */
    int64_t min_free_bytes;  /**< The recording stops with ::QUILLET_MESSAGE_FILE_SINK_ERROR when less would remain on the volume: -1 the larger of 256 MB and 1% of it (default), 0 no guard. */
} quillet_recording_settings;

/** One output as quillet_player_get_publishing_status() reports it. Filled by the library. */
typedef struct quillet_publishing_status {
    const char* url;        /**< The output's URL. */
    int state;              /**< A ::quillet_publishing_state. */
    uint64_t bytes;         /**< Media bytes handed to the output. */
    uint64_t packets;       /**< Packets handed to the output. */
    uint64_t queued;        /**< Records waiting for the output. */
    uint32_t reconnects;    /**< Successful connections after the first. */
    const char* last_error; /**< Why the last attempt failed or the connection was lost, or "". */
} quillet_publishing_status;

/** One buffer of interleaved signed 16-bit native-endian PCM exchanged with a quillet_audio_sink. */
typedef struct quillet_audio_buffer {
    uint8_t* data; /**< The host's memory. */
    size_t size;   /**< Offered: bytes wanted in it. Handed back: bytes written (possibly 0). */
} quillet_audio_buffer;

/** The host's audio sink, as callbacks (the C form of the facade's AudioInterface). The library
 * calls the three functions on the thread inside quillet_player_read_audio(), one at a time,
 * without library locks held; they must not destroy the player. */
typedef struct quillet_audio_sink {
    size_t size; /**< sizeof(quillet_audio_sink). */
    void* user;  /**< Passed to each callback. */
    /** Nonzero when the host can take sound now; 0 skips this read. */
    int (*wants_audio)(void* user);
    /** Offers up to `capacity` buffers in `buffers` (host memory, sized to the bytes wanted);
     * returns how many it filled in. */
    int (*get_buffers)(void* user, quillet_audio_buffer* buffers, int capacity);
    /** Hands back the buffers filled, in order, each `size` set to the bytes written (the first
     * `count` of those offered, possibly 0 bytes). The memory is the host's again. */
    void (*submit_buffers)(void* user, const quillet_audio_buffer* filled, int count);
} quillet_audio_sink;

/** Says "an event is waiting". Runs on a library thread; must return at once and may not call
 * this interface (post to the application's own loop instead). */
typedef void (*quillet_wakeup_fn)(void* user);

/** Receives one event synchronously on the thread that reports it (see
 * quillet_player_set_event_callback()). `event` and its strings live for the call only. */
typedef void (*quillet_event_fn)(void* user, const quillet_event* event);

/** @} */

/* ------------------------------------------------------------------------ */
/** @name Creating and destroying handles
 * Each returns a new handle, or NULL (with quillet_error_message()) on failure. `log_category`
 * names the handle's log lines; NULL gives "FF1". Any thread, never blocks. */
/** @{ */

/* Every kind below is a quillet_player handle: the quillet_player_ functions work on each kind
 * (quillet_player_destroy() frees any of them), the quillet_recorder_, quillet_server_ and
 * quillet_remote_ functions on the kinds that have them (else ::QUILLET_ERROR_WRONG_KIND). */

/** A player: plays a media file, a URL or an rtsp:// camera. */
QUILLET_EXPORT quillet_player* quillet_player_create(const char* log_category);
/** A recorder: a player that also records its source to container files. */
QUILLET_EXPORT quillet_player* quillet_recorder_create(const char* log_category);
/** A live server: serves a camera to clients, and can play and record it like a recorder. */
QUILLET_EXPORT quillet_player* quillet_live_server_create(const char* log_category);
/** A playback server: serves a file or URL to clients at playback pace; no client loses records. */
QUILLET_EXPORT quillet_player* quillet_play_server_create(const char* log_category);
/** A remote player: plays the batches a server's client hands out (quillet_remote_write()). */
QUILLET_EXPORT quillet_player* quillet_remote_create(const char* log_category);

/** Closes the source and frees the handle; NULL is fine. Ends reads, waits and an open blocked on
 * other threads within 100 ms (they return ::QUILLET_INTERRUPTED or an error). The handle is gone
 * at once; no event callback starts after it, and none still runs on another thread when it
 * returns (so an event callback must not wait for a thread that destroys its handle). Any thread;
 * blocks until the handle's threads have ended, except from an event callback on one of them: the
 * teardown then completes as soon as the callback returns. */
QUILLET_EXPORT void quillet_player_destroy(quillet_player* player);

/** The ::quillet_kind of a handle into `*kind`. */
QUILLET_EXPORT int quillet_player_get_kind(quillet_player* player, int* kind);

/** @} */

/* ------------------------------------------------------------------------ */
/** @name Playing (every kind) */
/** @{ */

/** Opens a file path, a URL FFmpeg can read or an rtsp:// camera. Blocks until the streams are
 * known (for a network source up to the network timeout). A source open on the handle (also one
 * played to its end) is closed first, as by quillet_player_close(). ::QUILLET_ERROR_OPEN_FAILED with the
 * reason in quillet_player_get_open_failure(); ::QUILLET_INTERRUPTED when a close, destroy or
 * interrupt cancelled it. Not for remote players (they need no open). */
QUILLET_EXPORT int quillet_player_open(quillet_player* player, const char* url);
/** Why the last open failed ("not found", "connection refused", "timed out", "authorization
 * failed", "not a media file", "unsupported codec", ...), or "" after a successful one. */
QUILLET_EXPORT int quillet_player_get_open_failure(quillet_player* player, const char** reason);
/** Longest a network open or read may block, in seconds (default 10; 0 no limit). */
QUILLET_EXPORT int quillet_player_set_network_timeout(quillet_player* player, double seconds);
/** Camera connection settings used when an rtsp:// source is opened by this handle. */
QUILLET_EXPORT int quillet_player_set_source_settings(quillet_player* player, const quillet_source_settings* settings);
/** Decodes video into `format` (a ::quillet_pixel_format). After the open, before the start. A
 * player (::QUILLET_KIND_PLAYER) started without one decodes into the format set last, or
 * ::QUILLET_PIXEL_BGR24. */
QUILLET_EXPORT int quillet_player_set_pixel_format(quillet_player* player, int format);
/** Starts the source's read thread; ::QUILLET_ERROR_STATE without an open source (none opened,
 * or closed by quillet_player_close() since). */
QUILLET_EXPORT int quillet_player_start(quillet_player* player);
/** Stops the read thread; the source stays open. ::QUILLET_STOP_PENDING from an event callback on
 * that very thread (connection changes, source errors): the stop completes as soon as the callback
 * returns. */
QUILLET_EXPORT int quillet_player_stop(quillet_player* player);
/** Stops reading and closes the source; another may be opened. Blocks until the source's threads
 * have ended; ::QUILLET_STOP_PENDING from an event callback on one of them: the close completes as
 * soon as the callback returns. */
QUILLET_EXPORT int quillet_player_close(quillet_player* player);
/** Pauses: no new pictures until quillet_player_resume(). */
QUILLET_EXPORT int quillet_player_pause(quillet_player* player);
/** Continues after a pause. */
QUILLET_EXPORT int quillet_player_resume(quillet_player* player);
/** Drops every queued packet and picture. */
QUILLET_EXPORT int quillet_player_flush(quillet_player* player);
/** `*paused` = 1 while paused. */
QUILLET_EXPORT int quillet_player_is_paused(quillet_player* player, int* paused);
/** `*ready` = 1 once a source name was accepted by the open. */
QUILLET_EXPORT int quillet_player_is_ready(quillet_player* player, int* ready);

/** Takes the next picture into `*picture`. Blocks up to `timeout_ms` for one.
 * @return ::QUILLET_OK with a picture, valid until the next read on this player or its destroy;
 *         ::QUILLET_AGAIN when none came within the timeout; ::QUILLET_END once when the last
 *         picture has been handed out (later reads give ::QUILLET_AGAIN, as the facade's 0);
 *         ::QUILLET_INTERRUPTED; ::QUILLET_ERROR_DECODE. Only `picture->status` changes unless
 *         ::QUILLET_OK. With `timeout_ms` 0 this is the facade's ReadFrameGetSize: OK for a size,
 *         AGAIN for 0, END for -1. A read made while the end-of-stream event callback runs (from
 *         the callback itself, or another thread) is told ::QUILLET_END too.
 * Several threads may read one player; each picture goes to one of them, and a reader waits for
 * another only while that one takes a picture, never through its wait. */
QUILLET_EXPORT int quillet_player_read_picture(quillet_player* player, quillet_picture* picture, int timeout_ms);
/** As quillet_player_read_picture(), and on ::QUILLET_OK also `*ref`, a new reference to the
 * buffer holding `picture->data`: the pixels then stay valid until quillet_buffer_release(*ref),
 * whatever is read later (no copy; the player decodes later pictures into other buffers). */
QUILLET_EXPORT int quillet_player_read_picture_ref(quillet_player* player, quillet_picture* picture, quillet_buffer** ref, int timeout_ms);
/** As quillet_player_read_picture(), but converts into the caller's buffer `dst` of `dst_size`
 * bytes with rows `dst_stride` bytes apart (at least width * 3); `info->data` is then `dst`.
 * ::QUILLET_ERROR_BUFFER_TOO_SMALL when the picture does not fit, with its width, height and size
 * (at the given stride) in `*info`; the picture is then kept for the next read, unless a seek,
 * flush, close or open moves the player away from it first. */
QUILLET_EXPORT int quillet_player_read_picture_into(quillet_player* player, uint8_t* dst, size_t dst_size, int dst_stride, quillet_picture* info, int timeout_ms);
/** Adds a reference to `buffer`. Any thread. */
QUILLET_EXPORT int quillet_buffer_retain(quillet_buffer* buffer);
/** Drops a reference; the last one frees the pixels. NULL is fine. Any thread, even after the
 * player was destroyed. */
QUILLET_EXPORT void quillet_buffer_release(quillet_buffer* buffer);
/** The pixels of `buffer` (NULL for a NULL buffer). Valid while a reference is held. */
QUILLET_EXPORT const uint8_t* quillet_buffer_data(const quillet_buffer* buffer);
/** The byte size of `buffer`'s pixels (0 for a NULL buffer). */
QUILLET_EXPORT size_t quillet_buffer_size(const quillet_buffer* buffer);

/** The picture size in pixels; -1 and -1 (with ::QUILLET_ERROR_STATE) without a source. */
QUILLET_EXPORT int quillet_player_get_dimensions(quillet_player* player, int* width, int* height);
/** The display size (width scaled by the sample aspect ratio); -1, -1 without a source. */
QUILLET_EXPORT int quillet_player_get_render_dimensions(quillet_player* player, int* width, int* height);
/** The source's duration in seconds; 0 when unknown (live sources). */
QUILLET_EXPORT int quillet_player_get_duration(quillet_player* player, double* seconds);
/** When a camera captured the picture the last read handed out (quillet_player_read_picture(),
 * _ref or _into): `*utc_us` microseconds since 1970 UTC, from the camera's RTCP sender reports
 * once one has come (`*trusted` 1), before that the time the picture arrived (`*trusted` 0);
 * 0 and 0 for files and streams without it. Never earlier than the camera's picture before it,
 * also across a reconnection. Either pointer may be NULL. */
QUILLET_EXPORT int quillet_player_get_capture_time(quillet_player* player, int64_t* utc_us, int* trusted);
/** Seeks: the next picture is the one at (or just after) `seconds`. Wakes a blocked read.
 * ::QUILLET_ERROR_STATE, and nothing done, without a source or before its stream description
 * has reached the decoder. */
QUILLET_EXPORT int quillet_player_seek(quillet_player* player, double seconds);
/** While paused, serve seeks from the pictures already read (on by default). */
QUILLET_EXPORT int quillet_player_set_optimize_seek(quillet_player* player, int enable);
/** Whether paused seeks are served from the pictures already read. */
QUILLET_EXPORT int quillet_player_get_optimize_seek(quillet_player* player, int* enabled);
/** `*oob` = 1 when a seek to `seconds` needs the source (outside the pictures held while paused);
 * 0 with `*pending` = 1 when the held pictures are still growing towards it. `pending` may be NULL. */
QUILLET_EXPORT int quillet_player_is_oob(quillet_player* player, double seconds, int* oob, int* pending);
/** The pending seek's target in seconds, or -1.0 when none is pending. */
QUILLET_EXPORT int quillet_player_get_seek_time(quillet_player* player, double* seconds);
/** Video decoding threads: 0 automatic, 1 the reading thread alone (default), N threads (frame
 * threads for a file, slice threads for a camera or live URL, so no picture is held back), at
 * most 16 (::QUILLET_ERROR_INVALID_ARGUMENT beyond: a decoder puts no more to use). Takes
 * effect from the next stream opened. */
QUILLET_EXPORT int quillet_player_set_decoding_threads(quillet_player* player, int threads);
/** The decoding threads last set. */
QUILLET_EXPORT int quillet_player_get_decoding_threads(quillet_player* player, int* threads);
/** The live reading policy (a ::quillet_live_reading); takes effect at once. Files are always read
 * picture by picture. */
QUILLET_EXPORT int quillet_player_set_live_reading(quillet_player* player, int policy);
/** The live reading policy set. */
QUILLET_EXPORT int quillet_player_get_live_reading(quillet_player* player, int* policy);
/** Pictures a live reader missed since the source was opened (given up because the reader fell
 * behind; each drop is also reported once by a ::QUILLET_EVENT_MISSED_PICTURES event, raised on the
 * reading thread inside a read, at most once a second). */
QUILLET_EXPORT int quillet_player_missed_pictures(quillet_player* player, uint64_t* missed);

/** @} */

/* ------------------------------------------------------------------------ */
/** @name Sound (every kind) */
/** @{ */

/** Turns sound decoding on (nonzero) or off. */
QUILLET_EXPORT int quillet_player_enable_audio(quillet_player* player, int enable);
/** `*has_audio` = 1 when the source has sound and sound decoding is on. */
QUILLET_EXPORT int quillet_player_has_audio(quillet_player* player, int* has_audio);
/** The PCM format handed to the sink: rate in Hz, bits per sample (16), channels.
 * ::QUILLET_ERROR_STATE, outputs untouched, when there is no sound. */
QUILLET_EXPORT int quillet_player_get_audio_format(quillet_player* player, int* rate, int* bits, int* channels);
/** The host's sound sink (copied; the `user` pointer must stay valid while set), or NULL for
 * none. ::QUILLET_ERROR_INVALID_ARGUMENT when `sink->size` is too small or a callback is NULL.
 * Reads that begin after it returns use the new sink; a read already running on another thread
 * ends with the sink it began with. */
QUILLET_EXPORT int quillet_player_set_audio_sink(quillet_player* player, const quillet_audio_sink* sink);
/** Fills the buffers the sink offers with decoded sound and hands them back; runs the sink's
 * callbacks on the calling thread. ::QUILLET_OK with `*media_time` the media time in seconds of
 * the sound handed over; ::QUILLET_AGAIN (with -1.0) when none was. Never waits for sound. */
QUILLET_EXPORT int quillet_player_read_audio(quillet_player* player, double* media_time);

/** @} */

/* ------------------------------------------------------------------------ */
/** @name Publishing (every kind) */
/** @{ */

/** Publishes the source to `url` (rtsp://, rtmp://, srt:// or a .m3u8 path) by stream copy,
 * beside playing and recording; several at once. ::QUILLET_ERROR_FAILED (and a FAILED publishing
 * event) for a URL no protocol takes. Not from the event callback. */
QUILLET_EXPORT int quillet_player_start_publishing(quillet_player* player, const char* url);
/** Stops the output for `url`; ::QUILLET_ERROR_STATE when none runs. Not from the event callback. */
QUILLET_EXPORT int quillet_player_stop_publishing(quillet_player* player, const char* url);
/** Every running output: writes up to `capacity` records into `statuses` (may be NULL with
 * capacity 0) and their total number into `*count`; ::QUILLET_ERROR_BUFFER_TOO_SMALL when
 * `*count` > `capacity` (the first `capacity` are written). Strings stay valid until this thread
 * calls this function again. Not from the event callback. */
QUILLET_EXPORT int quillet_player_get_publishing_status(quillet_player* player, quillet_publishing_status* statuses, size_t capacity, size_t* count);

/** @} */

/* ------------------------------------------------------------------------ */
/** @name Events (every kind) */
/** @{ */

/** Takes the oldest queued event into `*event`. Blocks up to `timeout_ms` for one.
 * ::QUILLET_OK with an event; ::QUILLET_AGAIN (type ::QUILLET_EVENT_NONE) when none came;
 * ::QUILLET_INTERRUPTED. Several threads may wait; each event goes to one of them. */
QUILLET_EXPORT int quillet_player_wait_event(quillet_player* player, quillet_event* event, int timeout_ms);
/** Ends every read and wait blocked on this handle now (they return ::QUILLET_INTERRUPTED) and
 * cancels an open or start in progress. Calls after it wait normally. Any thread, never blocks;
 * safe from the callbacks. */
QUILLET_EXPORT int quillet_player_interrupt(quillet_player* player);
/** The most events the queue holds (default 1000; 0 keeps none, for applications that use the
 * event callback only). Past it the oldest are dropped and counted. */
QUILLET_EXPORT int quillet_player_set_event_queue_size(quillet_player* player, size_t capacity);
/** Events dropped from the queue since the handle was created. */
QUILLET_EXPORT int quillet_player_dropped_events(quillet_player* player, uint64_t* dropped);
/** Sets (or with NULL clears) the wakeup callback, called on the reporting library thread each
 * time an event is queued. It must return at once and may not call this interface. */
QUILLET_EXPORT int quillet_player_set_wakeup_callback(quillet_player* player, quillet_wakeup_fn callback, void* user);
/** Sets (or with NULL clears) the event callback, called synchronously for every event on the
 * thread that reports it, before the event is queued: the application thread inside a read for
 * the end of the stream and missed pictures, the source's read thread for errors and connection changes, the
 * recording's write thread for sync points, the output's thread for publishing. It may call this
 * interface, any handle and any function, its own handle's stop, close and destroy included, and
 * gets the answer it would get outside the callback; no library lock is held while it runs. A stop
 * or close that must end the very thread running the callback answers ::QUILLET_STOP_PENDING and
 * completes, as a destroy there does, once the callback has returned. It
 * should return quickly: the reporting thread waits for it. After this function returns (on
 * another thread) no call of the previous callback is still starting, but one may be running. */
QUILLET_EXPORT int quillet_player_set_event_callback(quillet_player* player, quillet_event_fn callback, void* user);

/** @} */

/* ------------------------------------------------------------------------ */
/** @name Recording (recorders and live servers) */
/** @{ */

/** Starts recording to `file_name` from the next key picture (format from the extension:
 * .mp4, .mkv, .avi, ...). Keep reading pictures while recording. */
QUILLET_EXPORT int quillet_recorder_save(quillet_player* recorder, const char* file_name);
/** Ends the current file at the next key picture and continues in `new_file`. */
QUILLET_EXPORT int quillet_recorder_split(quillet_player* recorder, const char* new_file);
/** Ends the recording; the file is finished on the write thread. ::QUILLET_STOP_PENDING from an event
 * callback on the write thread itself (sync points): the recording ends when the callback returns. */
QUILLET_EXPORT int quillet_recorder_stop(quillet_player* recorder);
/** `*saving` = 1 while a file is written; `*pending` (may be NULL) = 1 while a file name waits
 * for its first key picture. */
QUILLET_EXPORT int quillet_recorder_is_saving(quillet_player* recorder, int* saving, int* pending);
/** Fills the first `size` bytes of `*settings` with the defaults (one file until stopped, nothing
 * deleted) and sets `settings->size` to the bytes filled (`size`, at most this release's record):
 * nothing past `size` is written, so a record of an earlier release is filled safely.
 * ::QUILLET_ERROR_INVALID_ARGUMENT when `size` cannot hold the `size` field. Any thread, never blocks. */
QUILLET_EXPORT int quillet_recording_settings_init_sized(quillet_recording_settings* settings, size_t size);
/** quillet_recording_settings_init_sized() with the record's size as the header compiled against
 * declares it (the macro below; the exported function serves programs built before it and fills the
 * 48 bytes their records have). */
QUILLET_EXPORT int quillet_recording_settings_init(quillet_recording_settings* settings);
/** Calls quillet_recording_settings_init_sized() with the size of the record this header declares. */
#define quillet_recording_settings_init(settings) quillet_recording_settings_init_sized((settings), sizeof *(settings))
/** Segments and retention for the recordings started after this call (the recorder kinds). The
 * record is copied; `settings->size` must come from quillet_recording_settings_init(). Any
 * thread, never blocks. */
QUILLET_EXPORT int quillet_recorder_set_settings(quillet_player* recorder, const quillet_recording_settings* settings);

/** @} */

/* ------------------------------------------------------------------------ */
/** @name Serving (live and playback servers) */
/** @{ */

/** The source to serve; opened by the first client. */
QUILLET_EXPORT int quillet_server_set_source(quillet_player* server, const char* url);
/** Camera settings used when the source is opened (live servers only). */
QUILLET_EXPORT int quillet_server_set_source_settings(quillet_player* server, const quillet_source_settings* settings);
/** A new client in `*client`; the first opens the source (blocks like quillet_player_open()).
 * ::QUILLET_ERROR_OPEN_FAILED when the source cannot be opened. Free with quillet_client_destroy(). */
QUILLET_EXPORT int quillet_server_add_client(quillet_player* server, quillet_client** client);
/** The most records one batch holds. */
QUILLET_EXPORT int quillet_server_set_batch_records(quillet_player* server, unsigned records);
/** The most records one batch holds (0 without an engine). */
QUILLET_EXPORT int quillet_server_get_batch_records(quillet_player* server, unsigned* records);

/** Removes the client from its server (if the server still lives) and frees the handle; NULL is
 * fine. Any thread. */
QUILLET_EXPORT void quillet_client_destroy(quillet_client* client);
/** Takes the next batch into `*batch` (library memory, free with quillet_batch_free()).
 * ::QUILLET_AGAIN when none is queued; ::QUILLET_END once the server is gone. Never waits. One
 * thread per client. */
QUILLET_EXPORT int quillet_client_next_batch(quillet_client* client, quillet_batch** batch);
/** As quillet_client_next_batch(), but waits up to `timeout_ms` (negative: without limit) for a
 * batch, asleep until the source queues a record. ::QUILLET_AGAIN when none came in time;
 * ::QUILLET_END once the server is gone; ::QUILLET_INTERRUPTED when quillet_client_destroy()
 * ran meanwhile (on another thread; the handle is then gone). One thread per client. */
QUILLET_EXPORT int quillet_client_wait_batch(quillet_client* client, quillet_batch** batch, int timeout_ms);
/** Copies the next batch into `dst` (`capacity` bytes), its size into `*size`. ::QUILLET_AGAIN
 * when none is queued; ::QUILLET_ERROR_BUFFER_TOO_SMALL with `*size` the bytes needed, the batch
 * kept for the next call; ::QUILLET_END once the server is gone. Never waits. */
QUILLET_EXPORT int quillet_client_next_batch_into(quillet_client* client, uint8_t* dst, size_t capacity, size_t* size);
/** The bytes of a batch (NULL for NULL). */
QUILLET_EXPORT const uint8_t* quillet_batch_data(const quillet_batch* batch);
/** The byte size of a batch (0 for NULL). */
QUILLET_EXPORT size_t quillet_batch_size(const quillet_batch* batch);
/** Frees a batch; NULL is fine. Any thread. */
QUILLET_EXPORT void quillet_batch_free(quillet_batch* batch);

/** @} */

/* ------------------------------------------------------------------------ */
/** @name Remote playing (remote players) */
/** @{ */

/** Feeds one batch received from a server's client (`size` bytes at `data`, read during the
 * call only). ::QUILLET_AGAIN when the player cannot take the rest now: read pictures, then offer
 * the same batch again; the player remembers how far it got. ::QUILLET_ERROR_INVALID_DATA for a
 * malformed batch (drop it). ::QUILLET_ERROR_INVALID_ARGUMENT for an empty batch. Wakes a blocked
 * read. */
QUILLET_EXPORT int quillet_remote_write(quillet_player* remote, const uint8_t* data, size_t size);
/** Drops incoming records until the seek marker for `seconds` arrives; `*new_target` (may be
 * NULL) = 1 when this is a new target, 0 when that seek (within 0.01 s) is already awaited. */
QUILLET_EXPORT int quillet_remote_wait_for_seek(quillet_player* remote, double seconds, int* new_target);
/** Forgets how far the current batch was taken: the next batch is read from its start. */
QUILLET_EXPORT int quillet_remote_restart_batch(quillet_player* remote);

/** @} */

/* ------------------------------------------------------------------------ */
/** @name Picture size and thumbnails */
/** @{ */

/** The size pictures are handed out at, for an application that shows them smaller (or larger)
 * than they were coded: 0, 0 is the coded size (the default); one of `width` and `height` 0
 * follows the other with the display aspect ratio; both fit the picture inside that box with its
 * display aspect ratio (sample aspect ratio applied). Scaled in the same pass as the conversion.
 * Any time, also while playing: applies from the next picture. quillet_player_get_dimensions()
 * keeps the coded size; ::quillet_picture carries the size handed out.
 * ::QUILLET_ERROR_INVALID_ARGUMENT for a negative side. */
QUILLET_EXPORT int quillet_player_set_picture_size(quillet_player* player, int width, int height);

/** One time's thumbnail, handed to a ::quillet_thumbnail_callback. */
typedef struct quillet_thumbnail {
    int index;         /**< Position of the time in `times` (or in the spread). */
    double requested;  /**< The time asked for, in seconds. */
    const char* error; /**< NULL with a picture; else why there is none ("seek failed: ...",
                        * "timed out", "no picture at or after this time", "damaged pictures: ..."). */
    quillet_picture picture; /**< The picture (`time` its own time; `data` NULL on error). */
} quillet_thumbnail;

/** Receives one thumbnail; `thumbnail` and its pixels are valid during the call only. */
typedef void (*quillet_thumbnail_callback)(void* user, const quillet_thumbnail* thumbnail);

/** Pictures of the file `source` at `count` times, at the size asked for (as
 * quillet_player_set_picture_size()), in `pixel_format`. `times` (seconds on the clock of the
 * pictures' own times, any order) may be NULL: then `count` times spread evenly over the
 * duration, the first at the first picture. `exact` 0: the key picture at or before each time,
 * decoding nothing else (the fastest); 1: the picture a seek to that time shows (the first at or
 * after it), times in one group of pictures sharing the decoding. Decodes on threads of its own
 * (one per core) and calls `callback` on the calling thread, one thumbnail at a time, as they are
 * ready; returns once every time was handed out, each with its picture or its error (a damaged or
 * unreadable time takes at most 10 s). ::QUILLET_ERROR_OPEN_FAILED (reason in
 * quillet_error_message()) when the source cannot be opened. */
QUILLET_EXPORT int quillet_thumbnails(const char* source, const double* times, int count, int width, int height,
                                      int pixel_format, int exact, quillet_thumbnail_callback callback, void* user);

/** @} */

/** Fills the first `size` bytes of `*settings` with the defaults and sets `settings->size` to the
 * bytes filled (`size`, at most this release's record): nothing past `size` is written, so a
 * record of an earlier release is filled safely. ::QUILLET_ERROR_INVALID_ARGUMENT when `size`
 * cannot hold the `size` field. Any thread, never blocks. */
QUILLET_EXPORT int quillet_source_settings_init_sized(quillet_source_settings* settings, size_t size);
/** quillet_source_settings_init_sized() with the record's size as the header compiled against
 * declares it (the macro below; the exported function serves programs built before it and fills the
 * 104 bytes their records have). */
QUILLET_EXPORT int quillet_source_settings_init(quillet_source_settings* settings);
/** Calls quillet_source_settings_init_sized() with the size of the record this header declares. */
#define quillet_source_settings_init(settings) quillet_source_settings_init_sized((settings), sizeof *(settings))

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* QUILLET_QUILLET_H_ */
