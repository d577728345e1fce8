/* Recording through the C interface: the files of a segmented recording are
 * announced by sync points, and the settings reach the recorder; a tiny event
 * queue keeps the newest events and accounts for every event it dropped; a
 * publishing output's state comes as events and as status records (what it
 * writes is the C++ suite's to check). */
#define _POSIX_C_SOURCE 200809L
#include <stdatomic.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capi_support.h"

typedef struct counted {
    atomic_int events;
    atomic_flag busy;  /* callbacks come from more than one library thread */
    char last[2][160]; /* the two latest events the callback saw, newest in [1] */
} counted;

/* What tells one event from another: its type, code, text and times. */
static void signature(const quillet_event* e, char out[160])
{
    snprintf(out, 160, "%d %d %s %.6f %lld", e->type, e->code, e->text ? e->text : "", e->video_time,
             (long long)e->pc_time);
}

static void count_event(void* user, const quillet_event* e)
{
    counted* c = user;
    while (atomic_flag_test_and_set(&c->busy))
        ;
    memcpy(c->last[0], c->last[1], sizeof c->last[0]);
    signature(e, c->last[1]);
    atomic_fetch_add(&c->events, 1);
    atomic_flag_clear(&c->busy);
}

static void count_wakeup(void* user)
{
    atomic_fetch_add(&((counted*)user)->events, 1);
}

/* Rows: the event queue's capacity, and whether the recording is cut in two-second segments with
 * those beyond a one-byte budget deleted while publishing to HLS too. Sync points name the files;
 * with two places in the queue, the two taken are the newest the callback saw, and what was taken
 * plus what was reported dropped is every event it saw. */
void test_record_segments_and_queue_bound(void)
{
    const char* clip = test_clip(6);
    REQUIRE(clip);
    const char* playlist = "capi_hls/live.m3u8";
    mkdir("capi_hls", 0755);
    static const struct {
        const char* name;
        size_t queue;
        int segmented;
    } rows[] = {{"segmented and published", 1000, 1}, {"two places in the queue", 2, 0}};
    for (size_t row = 0; row < sizeof rows / sizeof *rows; ++row) {
        g_row = rows[row].name;
        const int segmented = rows[row].segmented;
        char files[16][64]; /* unsegmented: the name given; segmented: those the sync points named */
        int count = !segmented;
        snprintf(files[0], sizeof files[0], "capi_rec_%zu.mp4", row);
        quillet_player* r = quillet_recorder_create("capi.record");
        REQUIRE(r);
        counted seen = {0, ATOMIC_FLAG_INIT, {"", ""}}, wakeups = {0, ATOMIC_FLAG_INIT, {"", ""}};
        CHECK_STATUS(quillet_player_set_event_queue_size(r, rows[row].queue), QUILLET_OK);
        CHECK_STATUS(quillet_player_set_event_callback(r, count_event, &seen), QUILLET_OK);
        CHECK_STATUS(quillet_player_set_wakeup_callback(r, count_wakeup, &wakeups), QUILLET_OK);
        quillet_recording_settings settings = {0};
        CHECK_STATUS(quillet_recorder_set_settings(r, &settings), QUILLET_ERROR_INVALID_ARGUMENT); /* no size */
        CHECK_STATUS(quillet_recording_settings_init(&settings), QUILLET_OK);
        settings.segment_seconds = segmented ? 2.0 : 0.0;
        settings.keep_bytes = segmented;
        CHECK_STATUS(quillet_recorder_set_settings(r, &settings), QUILLET_OK);
        CHECK_STATUS(quillet_player_open(r, clip), QUILLET_OK);
        CHECK_STATUS(quillet_player_set_pixel_format(r, QUILLET_PIXEL_RGB24), QUILLET_OK);
        CHECK_STATUS(quillet_recorder_save(r, files[0]), QUILLET_OK);
        if (segmented)
            CHECK_STATUS(quillet_player_start_publishing(r, playlist), QUILLET_OK);
        CHECK_STATUS(quillet_player_start(r), QUILLET_OK);
        quillet_picture pic = {0};
        int status;
        while ((status = quillet_player_read_picture(r, &pic, 5000)) == QUILLET_OK)
            continue;
        CHECK_STATUS(status, QUILLET_END);
        /* The output finishes once the source's end has been written. */
        quillet_publishing_status out[2];
        size_t outputs = 0;
        WAIT_UNTIL(!segmented || (quillet_player_get_publishing_status(r, out, 2, &outputs) == QUILLET_OK &&
                                  outputs == 1 && out[0].state == QUILLET_PUBLISH_FINISHED), 20000);
        CHECK(!segmented || (outputs == 1 && strcmp(out[0].url, playlist) == 0 && out[0].packets > 0 &&
                             out[0].state == QUILLET_PUBLISH_FINISHED));
        CHECK_STATUS(quillet_recorder_stop(r), QUILLET_OK);
        CHECK_STATUS(quillet_player_close(r), QUILLET_OK); /* the files' last sync points come by now */

        int taken = 0, publishing = 0, finished = 0;
        char takenSignatures[2][160] = {"", ""};
        uint64_t dropped = 0, droppedTotal = 0;
        quillet_event e = {0};
        for (; quillet_player_wait_event(r, &e, 0) == QUILLET_OK; ++taken) {
            if (taken < 2)
                signature(&e, takenSignatures[taken]);
            dropped += e.dropped;
            if (e.type == QUILLET_EVENT_PUBLISHING_STATUS && strcmp(e.url, playlist) == 0) {
                publishing += e.code == QUILLET_PUBLISH_PUBLISHING;
                finished += e.code == QUILLET_PUBLISH_FINISHED;
            }
            if (e.type == QUILLET_EVENT_SYNC_POINT && segmented && count < 16 &&
                (count == 0 || strcmp(files[count - 1], e.text) != 0))
                snprintf(files[count++], sizeof files[0], "%s", e.text);
        }
        CHECK_STATUS(quillet_player_dropped_events(r, &droppedTotal), QUILLET_OK);
        const int all = atomic_load(&seen.events);
        CHECK(all >= 3); /* at least the end, and a start and an end sync point per file */
        CHECK(taken + (int)dropped == all && dropped == droppedTotal && atomic_load(&wakeups.events) == all);
        /* The queue kept the two events the callback saw last (the oldest are dropped). */
        for (int i = 0; i < 2 && rows[row].queue == 2; ++i)
            CHECK(taken == 2 && (strcmp(takenSignatures[0], seen.last[i]) == 0 ||
                                 strcmp(takenSignatures[1], seen.last[i]) == 0));
        CHECK(rows[row].queue == 2 || dropped == 0);
        CHECK(!segmented || (count >= 3 && publishing == 1 && finished == 1)); /* six seconds in two-second segments */
        quillet_player_destroy(r);
        int present = 0;
        for (int i = 0; i < count; ++i)
            present += access(files[i], F_OK) == 0, remove(files[i]);
        CHECK(segmented ? present < count : present == count); /* the budget deleted the oldest */
    }
}
