/* Playing through the C interface: a file's pictures equal the C++ facade's
 * through each of the three ways to read (a buffer too small loses nothing),
 * a picture kept after a refused read belongs to its position, and served
 * pictures reach a remote player unchanged. */
#define _POSIX_C_SOURCE 200809L
#include <stdlib.h>
#include <string.h>

#include "capi_support.h"

enum { kMaxPictures = 512 };

/* Opens `clip` on `p` (a new player when NULL) and starts it without sound; no pixel format is
 * asked for, so pictures come in BGR24. */
static quillet_player* start_player(quillet_player* p, const char* clip)
{
    if (!p && !(p = quillet_player_create("capi.play")))
        return NULL;
    if (quillet_player_open(p, clip) != QUILLET_OK || quillet_player_enable_audio(p, 0) != QUILLET_OK ||
        quillet_player_start(p) != QUILLET_OK) {
        quillet_player_destroy(p);
        return NULL;
    }
    return p;
}

/* Each row reads every picture of the clip one way and checks the bytes against the facade's. The
 * plain reads open the clip again after each end with no close between, twenty times: each open
 * closes what was there, a close the end scheduled included. A start after a close has nothing to
 * start. */
typedef enum { READ_PLAIN, READ_REF, READ_INTO_PADDED } read_way;

void test_play_matches_facade(void)
{
    const char* clip = test_clip(2);
    REQUIRE(clip);
    static uint64_t expected[kMaxPictures];
    const int n = facade_picture_hashes(clip, expected, kMaxPictures);
    REQUIRE(n == 50);

    const read_way ways[] = {READ_PLAIN, READ_REF, READ_INTO_PADDED};
    for (size_t w = 0; w < sizeof ways / sizeof *ways; ++w) {
        quillet_player* p = start_player(NULL, clip);
        REQUIRE(p);
        enum { kKept = 8 };
        quillet_buffer* kept[kKept] = {0};
        uint64_t keptHash[kKept] = {0};
        const int stride = 320 * 3 + 64;
        uint8_t* padded = malloc((size_t)stride * 240);
        quillet_picture pic = {0};
        for (int cycle = 0; cycle < (ways[w] == READ_PLAIN ? 20 : 1); ++cycle) {
            int count = 0, status;
            double last = -1.0;
            if (cycle > 0 && start_player(p, clip) != p) {
                fprintf(stderr, "cycle %d: the open again failed\n", cycle), ++g_failures;
                break;
            }
            if (ways[w] == READ_INTO_PADDED) {
                /* Too small a buffer: the size is told, and the picture stays for the next read. */
                CHECK_STATUS(quillet_player_read_picture_into(p, padded, 16, stride, &pic, 5000),
                             QUILLET_ERROR_BUFFER_TOO_SMALL);
                CHECK(pic.width == 320 && pic.height == 240 && pic.first == 1);
            }
            for (;;) {
                quillet_buffer* ref = NULL;
                if (ways[w] == READ_PLAIN)
                    status = quillet_player_read_picture(p, &pic, 5000);
                else if (ways[w] == READ_REF)
                    status = quillet_player_read_picture_ref(p, &pic, &ref, 5000);
                else
                    status = quillet_player_read_picture_into(p, padded, (size_t)stride * 240, stride, &pic, 5000);
                if (status != QUILLET_OK)
                    break;
                CHECK(pic.width == 320 && pic.height == 240 && pic.pixel_format == QUILLET_PIXEL_BGR24);
                CHECK(pic.first == (count == 0));
                CHECK(pic.time > last);
                last = pic.time;
                const uint64_t h = picture_hash(pic.data, pic.width, pic.height, pic.stride);
                if (count < n && h != expected[count])
                    fprintf(stderr, "way %zu, cycle %d: picture %d differs from the facade's\n", w, cycle, count),
                        ++g_failures;
                if (ref && count < kKept) {
                    kept[count] = ref;
                    keptHash[count] = h;
                } else {
                    quillet_buffer_release(ref);
                }
                ++count;
            }
            CHECK_STATUS(status, QUILLET_END);
            CHECK(count == n);
            /* The end is told once, as the facade's -1; then nothing is ready. */
            CHECK_STATUS(quillet_player_read_picture(p, &pic, 0), QUILLET_AGAIN);
        }
        CHECK_STATUS(quillet_player_close(p), QUILLET_OK);
        CHECK_STATUS(quillet_player_start(p), QUILLET_ERROR_STATE);
        quillet_player_destroy(p);
        /* Held pictures keep their bytes whatever was read after them, even past the destroy. */
        for (int i = 0; i < kKept; ++i)
            if (kept[i]) {
                CHECK(quillet_buffer_size(kept[i]) == 320 * 240 * 3);
                CHECK(picture_hash(quillet_buffer_data(kept[i]), 320, 240, 320 * 3) == keptHash[i]);
                quillet_buffer_release(kept[i]);
            }
        free(padded);
    }
}

/* A picture kept after a refused read belongs to the position it was read at: each row moves the
 * player away from it, and the next read shows the new position's picture, not the kept one. */
typedef enum { MOVE_SEEK, MOVE_FLUSH, MOVE_CLOSE_OPEN, MOVE_OPEN_AGAIN } move_kind;

void test_kept_picture_belongs_to_its_position(void)
{
    const char* clip = test_clip(2);
    REQUIRE(clip);
    const move_kind moves[] = {MOVE_SEEK, MOVE_FLUSH, MOVE_CLOSE_OPEN, MOVE_OPEN_AGAIN};
    const char* names[] = {"seek", "flush", "close and open", "open again"};
    uint8_t* small = malloc(16);
    REQUIRE(small);
    for (size_t m = 0; m < sizeof moves / sizeof *moves; ++m) {
        quillet_player* p = start_player(NULL, clip);
        REQUIRE(p);
        quillet_picture pic = {0};
        for (int i = 0; i < 10; ++i)
            CHECK_STATUS(quillet_player_read_picture(p, &pic, 5000), QUILLET_OK);
        CHECK_STATUS(quillet_player_read_picture_into(p, small, 16, 320 * 3, &pic, 5000),
                     QUILLET_ERROR_BUFFER_TOO_SMALL);
        const double kept = pic.time;
        CHECK(kept > 0.3);
        double expected = -1.0; /* the time the next picture must have; -1: any after the kept one */
        switch (moves[m]) {
        case MOVE_SEEK:
            CHECK_STATUS(quillet_player_seek(p, 1.0), QUILLET_OK);
            expected = 1.0;
            break;
        case MOVE_FLUSH:
            CHECK_STATUS(quillet_player_flush(p), QUILLET_OK);
            break;
        case MOVE_CLOSE_OPEN:
            CHECK_STATUS(quillet_player_close(p), QUILLET_OK);
            /* fall through */
        case MOVE_OPEN_AGAIN:
            CHECK_STATUS(quillet_player_open(p, clip), QUILLET_OK);
            CHECK_STATUS(quillet_player_start(p), QUILLET_OK);
            expected = 0.0;
            break;
        }
        /* A flush drops the stream's description too: pictures may not come until a seek. */
        pic.time = -1.0;
        const int status = quillet_player_read_picture(p, &pic, moves[m] == MOVE_FLUSH ? 500 : 5000);
        CHECK(status == QUILLET_OK || (moves[m] == MOVE_FLUSH && status == QUILLET_AGAIN));
        const int wrong = expected >= 0 ? pic.time < expected - 1e-6 || pic.time > expected + 1e-6
                                        : pic.time <= kept + 1e-6;
        if (status == QUILLET_OK && wrong)
            fprintf(stderr, "%s: the next picture is at %.3f s (kept one at %.3f s)\n", names[m], pic.time, kept),
                ++g_failures;
        quillet_player_destroy(p);
    }
    free(small);
}

void test_serve_to_remote(void)
{
    const char* clip = test_clip(2);
    REQUIRE(clip);
    static uint64_t expected[kMaxPictures];
    const int n = facade_picture_hashes(clip, expected, kMaxPictures);
    REQUIRE(n > 0);

    quillet_player* server = quillet_play_server_create("capi.server");
    quillet_player* remote = quillet_remote_create("capi.remote");
    REQUIRE(server && remote);
    int kind = -1;
    CHECK_STATUS(quillet_player_get_kind(remote, &kind), QUILLET_OK);
    CHECK(kind == QUILLET_KIND_REMOTE);
    CHECK_STATUS(quillet_server_set_source(server, clip), QUILLET_OK);
    quillet_client* client = NULL;
    CHECK_STATUS(quillet_server_add_client(server, &client), QUILLET_OK);
    REQUIRE(client);
    CHECK_STATUS(quillet_player_enable_audio(remote, 0), QUILLET_OK);
    CHECK_STATUS(quillet_player_set_pixel_format(remote, QUILLET_PIXEL_BGR24), QUILLET_OK);
    /* Before the start only the stream's description comes; a wait for more times out. */
    quillet_batch* early = NULL;
    CHECK_STATUS(quillet_client_wait_batch(client, &early, 5000), QUILLET_OK);
    REQUIRE(early);
    CHECK_STATUS(quillet_remote_write(remote, quillet_batch_data(early), quillet_batch_size(early)), QUILLET_OK);
    quillet_batch_free(early);
    early = NULL;
    CHECK_STATUS(quillet_client_wait_batch(client, &early, 30), QUILLET_AGAIN);
    CHECK(early == NULL);
    CHECK_STATUS(quillet_player_start(server), QUILLET_OK);

    /* Batches go through caller memory, library memory, and a fetch that waits for them. */
    size_t capacity = 1 << 16, size = 0, batches = 0;
    uint8_t* bytes = malloc(capacity);
    int pending = 0, count = 0, status = QUILLET_AGAIN;
    const double deadline = now_ms() + 60000;
    while (status != QUILLET_END && now_ms() < deadline) {
        if (!pending) {
            quillet_batch* batch = NULL;
            int got;
            if (batches % 3 == 0) {
                while ((got = quillet_client_next_batch_into(client, bytes, capacity, &size)) ==
                       QUILLET_ERROR_BUFFER_TOO_SMALL)
                    bytes = realloc(bytes, capacity = size);
            } else if ((got = batches % 3 == 1 ? quillet_client_next_batch(client, &batch)
                                               : quillet_client_wait_batch(client, &batch, 20)) == QUILLET_OK) {
                size = quillet_batch_size(batch);
                if (size > capacity)
                    bytes = realloc(bytes, capacity = size);
                memcpy(bytes, quillet_batch_data(batch), size);
                quillet_batch_free(batch);
            }
            CHECK(got == QUILLET_OK || got == QUILLET_AGAIN);
            pending = got == QUILLET_OK;
            batches += (size_t)pending;
        }
        if (pending && quillet_remote_write(remote, bytes, size) == QUILLET_OK)
            pending = 0;
        quillet_picture pic = {0};
        status = quillet_player_read_picture(remote, &pic, pending ? 0 : 20);
        if (status == QUILLET_OK) {
            if (count < n && picture_hash(pic.data, pic.width, pic.height, pic.stride) != expected[count])
                fprintf(stderr, "remote picture %d differs from the facade's\n", count), ++g_failures;
            ++count;
        }
    }
    CHECK_STATUS(status, QUILLET_END);
    CHECK(count == n);
    CHECK(batches > 0);
    quillet_player_destroy(server);
    /* A client outlives its server: it reports the end, and its destroy is safe. */
    quillet_batch* none = NULL;
    CHECK_STATUS(quillet_client_next_batch(client, &none), QUILLET_END);
    CHECK_STATUS(quillet_client_wait_batch(client, &none, -1), QUILLET_END);
    quillet_client_destroy(client);
    quillet_player_destroy(remote);
    free(bytes);
}
