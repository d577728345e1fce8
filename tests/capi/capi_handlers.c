/* The event callback may call anything through the C interface: each row makes one call from the
 * callback of one event, on the handle that raised it or on another one that plays, and checks
 * the status against what the same call gives outside a callback (a pause is seen as paused, a
 * read inside the end's callback is told the end), STOP_PENDING only for a stop of the callback's
 * own thread, and a handle destroyed there is invalid at once. What the calls do inside the library
 * is the C++ handler table's to check. A row's name is printed before it runs: a row that hangs is
 * the last one named when ctest's timeout ends the run. */
#define _POSIX_C_SOURCE 200809L
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "capi_support.h"

typedef enum { ON_END, ON_SYNC_POINT, ON_PUBLISHING } trigger;

typedef enum { READ, SEEK, PAUSE_RESUME, SPLIT, STOP_RECORDING, STOP, CLOSE, DESTROY } call;

/* A status the call gave that the same call outside a callback would not give: a pause the
 * player did not report. */
enum { WRONG_ANSWER = -1000 };

/* Statuses as bits, so that a row may accept the answers a race allows outside a callback. */
#define S(status) (1u << ((status) + 16))
#define RACING (S(QUILLET_OK) | S(QUILLET_AGAIN) | S(QUILLET_END))

typedef struct row {
    const char* name;
    trigger on; /* the end: the reader's thread inside its read; a sync point: the recording's write
                 * thread (a recorder raises it); publishing: the output's thread */
    call call;
    int on_other; /* the call goes to another handle, a player that plays a long clip */
    unsigned allowed;
} row;

static const row kRows[] = {
    {"end, read on the same", ON_END, READ, 0, S(QUILLET_END)},
    /* The end schedules the source's close on the engine's close worker: a seek may meet it. */
    {"end, seek on the same", ON_END, SEEK, 0, S(QUILLET_OK) | S(QUILLET_ERROR_STATE)},
    {"end, pause and resume on the same", ON_END, PAUSE_RESUME, 0, S(QUILLET_OK)},
    {"end, split on the same", ON_END, SPLIT, 0, S(QUILLET_ERROR_WRONG_KIND)},
    {"end, stop on the same", ON_END, STOP, 0, S(QUILLET_OK)},
    {"end, close on the same", ON_END, CLOSE, 0, S(QUILLET_OK)},
    {"end, destroy the same", ON_END, DESTROY, 0, S(QUILLET_ERROR_INVALID_HANDLE)},
    {"sync point, read on the same", ON_SYNC_POINT, READ, 0, RACING},
    {"sync point, split on the same", ON_SYNC_POINT, SPLIT, 0, S(QUILLET_OK)},
    {"sync point, stop recording on the same", ON_SYNC_POINT, STOP_RECORDING, 0, S(QUILLET_STOP_PENDING)},
    {"sync point, stop on the same", ON_SYNC_POINT, STOP, 0, S(QUILLET_STOP_PENDING)},
    {"sync point, close on the same", ON_SYNC_POINT, CLOSE, 0, S(QUILLET_STOP_PENDING)},
    {"sync point, destroy the same", ON_SYNC_POINT, DESTROY, 0, S(QUILLET_ERROR_INVALID_HANDLE)},
    {"sync point, read on the other", ON_SYNC_POINT, READ, 1, S(QUILLET_OK)},
    {"sync point, pause and resume on the other", ON_SYNC_POINT, PAUSE_RESUME, 1, S(QUILLET_OK)},
    {"sync point, stop on the other", ON_SYNC_POINT, STOP, 1, S(QUILLET_OK)},
    {"sync point, destroy the other", ON_SYNC_POINT, DESTROY, 1, S(QUILLET_ERROR_INVALID_HANDLE)},
    {"publishing, read on the same", ON_PUBLISHING, READ, 0, RACING},
    {"publishing, stop on the same", ON_PUBLISHING, STOP, 0, S(QUILLET_OK)},
    {"publishing, close on the same", ON_PUBLISHING, CLOSE, 0, S(QUILLET_OK)},
    {"publishing, destroy the same", ON_PUBLISHING, DESTROY, 0, S(QUILLET_ERROR_INVALID_HANDLE)},
};

typedef struct row_state {
    const row* row;
    quillet_player* own;
    quillet_player* other;
    atomic_int fired;
    atomic_int acted;
    int status;
} row_state;

static int matches(trigger on, const quillet_event* e)
{
    static const int types[] = {QUILLET_EVENT_MESSAGE, QUILLET_EVENT_SYNC_POINT, QUILLET_EVENT_PUBLISHING_STATUS};
    return e->type == types[on] && (on != ON_END || e->code == QUILLET_MESSAGE_END_OF_STREAM);
}

/* Makes the row's call on `h`; its status, or WRONG_ANSWER. */
static int make_call(const row* r, quillet_player* h)
{
    quillet_picture pic = {0};
    int value = -1, status;
    switch (r->call) {
    case READ: return quillet_player_read_picture(h, &pic, r->on_other ? 10000 : 2000);
    case SEEK: return quillet_player_seek(h, 0.5);
    case PAUSE_RESUME:
        for (int paused = 1; paused >= 0; --paused)
            if ((status = paused ? quillet_player_pause(h) : quillet_player_resume(h)) != QUILLET_OK ||
                (status = quillet_player_is_paused(h, &value)) != QUILLET_OK || value != paused)
                return status != QUILLET_OK ? status : WRONG_ANSWER;
        return QUILLET_OK;
    case SPLIT: return quillet_recorder_split(h, "capi_handler_split.mkv");
    case STOP_RECORDING: return quillet_recorder_stop(h);
    case STOP: return quillet_player_stop(h);
    case CLOSE: return quillet_player_close(h);
    case DESTROY:
        quillet_player_destroy(h);
        return quillet_player_get_kind(h, &value);
    }
    return WRONG_ANSWER;
}

static void on_event(void* user, const quillet_event* e)
{
    row_state* r = user;
    if (!matches(r->row->on, e) || atomic_exchange(&r->fired, 1))
        return;
    r->status = make_call(r->row, r->row->on_other ? r->other : r->own);
    atomic_store(&r->acted, 1);
}

static void run_row(const row* w, const char* clip, const char* long_clip)
{
    fprintf(stderr, "row: %s\n", g_row = w->name);
    fflush(stderr);
    row_state r = {w, NULL, NULL, 0, 0, 0};
    r.own = w->on == ON_SYNC_POINT ? quillet_recorder_create("capi.handlers") : quillet_player_create("capi.handlers");
    r.other = start_clip(NULL, long_clip);
    REQUIRE(r.own && r.other);
    CHECK_STATUS(quillet_player_set_event_callback(r.own, on_event, &r), QUILLET_OK);
    CHECK_STATUS(quillet_player_open(r.own, clip), QUILLET_OK);
    if (w->on == ON_SYNC_POINT)
        CHECK_STATUS(quillet_recorder_save(r.own, "capi_handler_own.mkv"), QUILLET_OK);
    if (w->on == ON_PUBLISHING)
        CHECK_STATUS(quillet_player_start_publishing(r.own, "capi_handler_hls/live.m3u8"), QUILLET_OK);
    /* A publishing status may come first: a destroy or close it made leaves nothing to start. */
    const int started = quillet_player_start(r.own);
    CHECK(started == QUILLET_OK || ((w->call == DESTROY || w->call == CLOSE) && atomic_load(&r.fired)));
    quillet_picture pic = {0};
    for (const double end = now_ms() + 60000; !atomic_load(&r.acted) && now_ms() < end;)
        quillet_player_read_picture(r.own, &pic, 200);
    if (!atomic_load(&r.acted) || r.status < -100 || !(S(r.status) & w->allowed))
        fail(__LINE__, "%s (%s)", !atomic_load(&r.acted)      ? "the event never came"
                                  : r.status == WRONG_ANSWER ? "a made-up answer"
                                                             : quillet_status_name(r.status),
             quillet_error_message());
    /* Whatever the callback did, the application stops and destroys both. */
    quillet_player* destroyed = w->call == DESTROY ? (w->on_other ? r.other : r.own) : NULL;
    if (r.own != destroyed) {
        CHECK_STATUS(quillet_player_stop(r.own), QUILLET_OK);
        quillet_player_destroy(r.own);
    }
    if (r.other != destroyed)
        quillet_player_destroy(r.other);
    remove("capi_handler_split.mkv");
}

void test_handler_calls(void)
{
    char clip[64], long_clip[64]; /* test_clip's answer lasts until its next call */
    REQUIRE(test_clip(2) && snprintf(clip, sizeof clip, "%s", test_clip(2)) > 0);
    REQUIRE(test_clip(20) && snprintf(long_clip, sizeof long_clip, "%s", test_clip(20)) > 0);
    mkdir("capi_handler_hls", 0755);
    const char* only = getenv("QUILLET_HANDLER_ROWS"); /* a part of the row names to run, when debugging */
    for (size_t i = 0; i < sizeof kRows / sizeof *kRows; ++i)
        if (!only || strstr(kRows[i].name, only))
            run_row(&kRows[i], clip, long_clip);
    remove("capi_handler_own.mkv");
}
