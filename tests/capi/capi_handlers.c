/* The event callback may call anything: each row makes one call from the callback of one event,
 * on the handle that raised it or on another one that is playing and recording, and checks that
 * the call returns within a bound, answers what the same call answers outside a callback (a
 * pause is seen as paused, a split writes its file, the end is the end), and that everything can
 * be stopped and destroyed afterwards. A watchdog ends the process when a row hangs. */
#define _POSIX_C_SOURCE 200809L
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "capi_support.h"

typedef enum { ON_END, ON_SYNC_POINT, ON_PUBLISHING, ON_CONNECTION_LOST } trigger;

typedef enum {
    CALL_READ_PICTURE,
    CALL_READ_SOUND,
    CALL_SEEK,
    CALL_PAUSE_RESUME,
    CALL_QUERY,
    CALL_SPLIT,
    CALL_STOP_RECORDING,
    CALL_STOP,
    CALL_CLOSE,
    CALL_DESTROY,
    CALL_COUNT
} call;

static const char* const kCallNames[CALL_COUNT] = {"read picture", "read sound",     "seek", "pause/resume",
                                                   "query",        "split",          "stop recording",
                                                   "stop",         "close",          "destroy"};

/* A status the call gave that the same call outside a callback would not give: a pause the
 * player did not report, a query with a made-up answer. */
enum { WRONG_ANSWER = -1000 };

/* Statuses as bits, so that a row may accept the two answers a race allows outside a callback. */
#define S(status) (1u << ((status) + 16))

typedef struct setup {
    const char* name;
    int kind;
    trigger on;
    /* What the calls on the handle that raised the event answer (0: as on the other handle). */
    unsigned own[CALL_COUNT];
} setup;

/* The other handle is a recorder that plays and records a clip: every call is answered as
 * outside any callback. */
static const unsigned kOther[CALL_COUNT] = {
    [CALL_READ_PICTURE] = S(QUILLET_OK),     [CALL_READ_SOUND] = S(QUILLET_AGAIN), [CALL_SEEK] = S(QUILLET_OK),
    [CALL_PAUSE_RESUME] = S(QUILLET_OK),     [CALL_QUERY] = S(QUILLET_OK),         [CALL_SPLIT] = S(QUILLET_OK),
    [CALL_STOP_RECORDING] = S(QUILLET_OK),   [CALL_STOP] = S(QUILLET_OK),          [CALL_CLOSE] = S(QUILLET_OK),
    [CALL_DESTROY] = S(QUILLET_ERROR_INVALID_HANDLE),
};

/* A stop or close asked on the very thread it must end completes once the callback returns. */
#define STOPS_PENDING [CALL_STOP] = S(QUILLET_STOP_PENDING), [CALL_CLOSE] = S(QUILLET_STOP_PENDING)

static const setup kSetups[] = {
    /* On the application's thread inside its read, once the read let go of the handle: a read
     * there is told the end, as the read that met it is. */
    {"player's end of stream", QUILLET_KIND_PLAYER, ON_END,
     {[CALL_READ_PICTURE] = S(QUILLET_END), [CALL_SPLIT] = S(QUILLET_ERROR_WRONG_KIND),
      [CALL_STOP_RECORDING] = S(QUILLET_ERROR_WRONG_KIND)}},
    {"recorder's end of stream", QUILLET_KIND_RECORDER, ON_END, {[CALL_READ_PICTURE] = S(QUILLET_END)}},
    /* On the recording's write thread, while the application reads. */
    {"recorder's sync point", QUILLET_KIND_RECORDER, ON_SYNC_POINT,
     {[CALL_READ_PICTURE] = S(QUILLET_OK) | S(QUILLET_AGAIN) | S(QUILLET_END), STOPS_PENDING,
      [CALL_STOP_RECORDING] = S(QUILLET_STOP_PENDING)}},
    /* On the output's thread. */
    {"player's publishing status", QUILLET_KIND_PLAYER, ON_PUBLISHING,
     {[CALL_READ_PICTURE] = S(QUILLET_OK) | S(QUILLET_AGAIN) | S(QUILLET_END),
      [CALL_SPLIT] = S(QUILLET_ERROR_WRONG_KIND), [CALL_STOP_RECORDING] = S(QUILLET_ERROR_WRONG_KIND)}},
};

/* The camera server's lost connection (HandlersCamera): reported by the camera source's own
 * thread, the one a stop or close ends. */
static const setup kCameraSetup = {"camera server's lost connection", QUILLET_KIND_LIVE_SERVER, ON_CONNECTION_LOST,
                                   {[CALL_READ_PICTURE] = S(QUILLET_OK) | S(QUILLET_AGAIN),
                                    [CALL_SEEK] = S(QUILLET_OK), [CALL_SPLIT] = S(QUILLET_OK), STOPS_PENDING}};

typedef struct row_state {
    const setup* setup;
    call call;
    int on_other;
    quillet_player* own;
    quillet_player* other;
    char split_file[64];
    atomic_int fired;
    atomic_int acted;
    int status;
    double took_ms;
} row_state;

static int matches(trigger on, const quillet_event* e)
{
    switch (on) {
    case ON_END: return e->type == QUILLET_EVENT_MESSAGE && e->code == QUILLET_MESSAGE_END_OF_STREAM;
    case ON_SYNC_POINT: return e->type == QUILLET_EVENT_SYNC_POINT;
    case ON_PUBLISHING: return e->type == QUILLET_EVENT_PUBLISHING_STATUS;
    case ON_CONNECTION_LOST: return e->type == QUILLET_EVENT_CONNECTION_STATUS && e->code == QUILLET_CONNECTION_LOST;
    }
    return 0;
}

/* Makes the row's call on `h`; its status, or WRONG_ANSWER. */
static int make_call(row_state* r, quillet_player* h)
{
    quillet_picture pic = {0};
    double seconds = 0;
    int value = -1, status;
    switch (r->call) {
    case CALL_READ_PICTURE: return quillet_player_read_picture(h, &pic, r->on_other ? 10000 : 2000);
    case CALL_READ_SOUND: return quillet_player_read_audio(h, &seconds);
    case CALL_SEEK: return quillet_player_seek(h, 0.5);
    case CALL_PAUSE_RESUME:
        if ((status = quillet_player_pause(h)) != QUILLET_OK)
            return status;
        if ((status = quillet_player_is_paused(h, &value)) != QUILLET_OK)
            return status;
        if (value != 1)
            return WRONG_ANSWER;
        if ((status = quillet_player_resume(h)) != QUILLET_OK)
            return status;
        status = quillet_player_is_paused(h, &value);
        return status != QUILLET_OK ? status : value == 0 ? QUILLET_OK : WRONG_ANSWER;
    case CALL_QUERY:
        status = quillet_player_is_paused(h, &value);
        return status != QUILLET_OK ? status : value == 0 ? QUILLET_OK : WRONG_ANSWER;
    case CALL_SPLIT: return quillet_recorder_split(h, r->split_file);
    case CALL_STOP_RECORDING: return quillet_recorder_stop(h);
    case CALL_STOP: return quillet_player_stop(h);
    case CALL_CLOSE: return quillet_player_close(h);
    case CALL_DESTROY:
        quillet_player_destroy(h);
        return quillet_player_get_kind(h, &value);
    case CALL_COUNT: break;
    }
    return WRONG_ANSWER;
}

static void on_event(void* user, const quillet_event* e)
{
    row_state* r = user;
    if (!matches(r->setup->on, e) || atomic_exchange(&r->fired, 1))
        return;
    const double began = now_ms();
    r->status = make_call(r, r->on_other ? r->other : r->own);
    r->took_ms = now_ms() - began;
    atomic_store(&r->acted, 1);
}

/* The watchdog: a row still running at `g_row_deadline` has hung; the process ends saying which. */
static _Atomic double g_row_deadline;
static char g_row_name[160];
static atomic_int g_watching;

static void watch(void* arg)
{
    (void)arg;
    while (atomic_load(&g_watching)) {
        if (now_ms() > atomic_load(&g_row_deadline)) {
            fprintf(stderr, "HANG: %s did not finish within its bound\n", g_row_name);
            fflush(stderr);
            _exit(3);
        }
        const struct timespec pause = {0, 50 * 1000 * 1000};
        nanosleep(&pause, NULL);
    }
}

static quillet_player* create_kind(int kind)
{
    switch (kind) {
    case QUILLET_KIND_RECORDER: return quillet_recorder_create("capi.handlers");
    case QUILLET_KIND_LIVE_SERVER: return quillet_live_server_create("capi.handlers");
    default: return quillet_player_create("capi.handlers");
    }
}

/* The other handle: a recorder playing and recording `clip`. */
static quillet_player* start_other(const char* clip, const char* file)
{
    quillet_player* p = quillet_recorder_create("capi.handlers.other");
    if (p && (quillet_player_open(p, clip) != QUILLET_OK || quillet_player_enable_audio(p, 0) != QUILLET_OK ||
              quillet_player_set_pixel_format(p, QUILLET_PIXEL_BGR24) != QUILLET_OK ||
              quillet_recorder_save(p, file) != QUILLET_OK || quillet_player_start(p) != QUILLET_OK)) {
        quillet_player_destroy(p);
        return NULL;
    }
    /* Recording, its first file begun: a split now cuts it. */
    int saving = 0, pending = 1;
    quillet_picture pic = {0};
    for (const double end = now_ms() + 20000; !(saving && !pending) && now_ms() < end;)
        if (quillet_recorder_is_saving(p, &saving, &pending) != QUILLET_OK || quillet_player_read_picture(p, &pic, 20) < 0)
            break;
    return p;
}

static int file_size(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 ? (int)st.st_size : -1;
}

/* Runs one row; `url` is the own handle's source, `camera` its test camera (or NULL). */
static void run_row(const setup* s, call c, int on_other, const char* url, const char* other_clip,
                    test_camera* camera)
{
    row_state r = {0};
    r.setup = s;
    r.call = c;
    r.on_other = on_other;
    snprintf(g_row_name, sizeof g_row_name, "%s, %s on the %s handle", s->name, kCallNames[c],
             on_other ? "other" : "same");
    const char* only = getenv("QUILLET_HANDLER_ROWS"); /* a part of the row names to run, when debugging */
    if (only && !strstr(g_row_name, only))
        return;
    atomic_store(&g_row_deadline, now_ms() + 90000);
    snprintf(r.split_file, sizeof r.split_file, "capi_handler_split_%d.mkv", (int)c);
    remove(r.split_file);
    r.other = start_other(other_clip, "capi_handler_other.mkv");
    r.own = create_kind(s->kind);
    REQUIRE(r.own && r.other);
    quillet_source_settings settings;
    quillet_source_settings_init(&settings);
    settings.packet_timeout_ms = 1500;
    if (camera)
        CHECK_STATUS(quillet_player_set_source_settings(r.own, &settings), QUILLET_OK);
    CHECK_STATUS(quillet_player_set_event_callback(r.own, on_event, &r), QUILLET_OK);
    CHECK_STATUS(quillet_player_open(r.own, url), QUILLET_OK);
    CHECK_STATUS(quillet_player_set_pixel_format(r.own, QUILLET_PIXEL_BGR24), QUILLET_OK);
    if (s->kind != QUILLET_KIND_PLAYER)
        CHECK_STATUS(quillet_recorder_save(r.own, "capi_handler_own.mkv"), QUILLET_OK);
    if (s->on == ON_PUBLISHING)
        CHECK_STATUS(quillet_player_start_publishing(r.own, "capi_handler_hls/live.m3u8"), QUILLET_OK);
    /* A publishing status may come first: a destroy or close it made leaves nothing to start. */
    const int started = quillet_player_start(r.own);
    CHECK(started == QUILLET_OK ||
          ((c == CALL_DESTROY || c == CALL_CLOSE) && !on_other && atomic_load(&r.acted)));
    quillet_picture pic = {0};
    int pictures = 0;
    const double end = now_ms() + 60000;
    while (!atomic_load(&r.acted) && now_ms() < end) {
        const int got = quillet_player_read_picture(r.own, &pic, 200);
        quillet_player_read_picture(r.other, &pic, 0); /* the other records as it plays */
        pictures += got == QUILLET_OK;
        if (camera && pictures == 5) {
            camera_kill(camera); /* the read thread reports the lost connection */
            ++pictures;
        }
    }
    if (!atomic_load(&r.acted)) {
        fprintf(stderr, "%s: the event never came\n", g_row_name);
        ++g_failures;
    }
    const unsigned expected = !on_other && s->own[c] ? s->own[c] : kOther[c];
    if (r.status < -100 || !(S(r.status) & expected)) {
        fprintf(stderr, "%s: %s (%s)\n", g_row_name, r.status == WRONG_ANSWER ? "a made-up answer" : quillet_status_name(r.status),
                quillet_error_message());
        ++g_failures;
    }
    /* A split where the recording goes on writes its file (at the end of a file it has nothing
     * to cut) once the recording reaches its next key picture. */
    const int split_checked = c == CALL_SPLIT && (on_other || s->on == ON_SYNC_POINT) && r.status == QUILLET_OK;
    for (const double until = now_ms() + 20000; split_checked && file_size(r.split_file) <= 0 && now_ms() < until;) {
        quillet_player_read_picture(r.own, &pic, 0);
        quillet_player_read_picture(r.other, &pic, 20);
    }
    /* Whatever the callback did, the application stops and destroys both. */
    quillet_player* destroyed = c == CALL_DESTROY ? (on_other ? r.other : r.own) : NULL;
    if (r.own != destroyed) {
        const int stopped = quillet_player_stop(r.own);
        CHECK(stopped == QUILLET_OK);
        quillet_player_destroy(r.own);
    }
    if (r.other != destroyed)
        quillet_player_destroy(r.other);
    if (split_checked && file_size(r.split_file) <= 0) {
        fprintf(stderr, "%s: the split said OK and wrote no file\n", g_row_name);
        ++g_failures;
    }
    remove(r.split_file);
}

static void run_table(const setup* setups, size_t count, const char* url, const char* other_clip, test_camera* camera)
{
    atomic_store(&g_row_deadline, now_ms() + 90000);
    atomic_store(&g_watching, 1);
    test_thread* watchdog = start_thread(watch, NULL);
    for (size_t s = 0; s < count; ++s)
        for (int on_other = 0; on_other < 2; ++on_other)
            for (int c = 0; c < CALL_COUNT; ++c) {
                if (camera && !camera_start(camera, camera->port)) {
                    fprintf(stderr, "the test camera did not start again\n");
                    ++g_failures;
                    break;
                }
                run_row(&setups[s], (call)c, on_other, url, other_clip, camera);
                if (camera)
                    camera_kill(camera);
            }
    atomic_store(&g_watching, 0);
    join_thread(watchdog);
    remove("capi_handler_own.mkv");
    remove("capi_handler_other.mkv");
}

void test_handler_calls(void)
{
    char clip[64], other[64]; /* test_clip's answer lasts until its next call */
    REQUIRE(test_clip(2) && snprintf(clip, sizeof clip, "%s", test_clip(2)) > 0);
    REQUIRE(test_clip(20) && snprintf(other, sizeof other, "%s", test_clip(20)) > 0);
    mkdir("capi_handler_hls", 0755);
    run_table(kSetups, sizeof kSetups / sizeof *kSetups, clip, other, NULL);
}

void test_handler_calls_camera(void)
{
    if (!camera_available()) {
        fprintf(stderr, "skipped: the RTSP test camera is not installed\n");
        return;
    }
    const char* other = test_clip(20);
    REQUIRE(other);
    test_camera camera = {0};
    REQUIRE(camera_start(&camera, 0));
    camera_kill(&camera);
    char url[300];
    snprintf(url, sizeof url, "%s/test", camera.url);
    run_table(&kCameraSetup, 1, url, other, &camera);
}
