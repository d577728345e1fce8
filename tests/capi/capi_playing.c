/* Playing through the C interface: a file's pictures equal the C++ facade's
 * through each of the three ways to read (a buffer too small loses nothing),
 * a picture kept after a refused read belongs to its position, and served
 * pictures reach a remote player unchanged. */
#define _POSIX_C_SOURCE 200809L
#include <stdlib.h>
#include <string.h>

#include "capi_support.h"

enum { kMaxPictures = 512, kKept = 8, kStride = 320 * 3 + 64 };

/* Each row reads every picture of the clip one way and checks the bytes against the facade's. The
 * plain reads open the clip again after each end with no close between, twenty times: each open
 * closes what was there, a close the end scheduled included. Pictures held by reference keep their
 * bytes whatever was read after them, even past the destroy. A start after a close has nothing to
 * start. */
typedef enum { READ_PLAIN, READ_REF, READ_INTO_PADDED } read_way;

void test_play_matches_facade(void)
{
    const char* clip = test_clip(2);
    REQUIRE(clip);
    static uint64_t expected[kMaxPictures];
    const int n = facade_picture_hashes(clip, expected, kMaxPictures);
    REQUIRE(n == 50);
    static const struct {
        const char* name;
        read_way way;
        int cycles;
    } rows[] = {{"plain", READ_PLAIN, 20}, {"by reference", READ_REF, 1}, {"into a padded buffer", READ_INTO_PADDED, 1}};
    static uint8_t padded[kStride * 240];
    for (size_t w = 0; w < sizeof rows / sizeof *rows; ++w) {
        g_row = rows[w].name;
        quillet_player* p = start_clip(NULL, clip);
        REQUIRE(p);
        quillet_buffer* kept[kKept] = {0};
        uint64_t keptHash[kKept] = {0};
        quillet_picture pic = {0};
        for (int cycle = 0; cycle < rows[w].cycles; ++cycle) {
            REQUIRE(cycle == 0 || start_clip(p, clip) == p);
            int count = 0, status;
            double last = -1.0;
            if (rows[w].way == READ_INTO_PADDED) {
                /* Too small a buffer: the size is told, and the picture stays for the next read. */
                CHECK_STATUS(quillet_player_read_picture_into(p, padded, 16, kStride, &pic, 5000),
                             QUILLET_ERROR_BUFFER_TOO_SMALL);
                CHECK(pic.width == 320 && pic.height == 240 && pic.first == 1);
            }
            for (;; ++count) {
                quillet_buffer* ref = NULL;
                if (rows[w].way == READ_PLAIN)
                    status = quillet_player_read_picture(p, &pic, 5000);
                else if (rows[w].way == READ_REF)
                    status = quillet_player_read_picture_ref(p, &pic, &ref, 5000);
                else
                    status = quillet_player_read_picture_into(p, padded, sizeof padded, kStride, &pic, 5000);
                if (status != QUILLET_OK)
                    break;
                CHECK(pic.width == 320 && pic.height == 240 && pic.pixel_format == QUILLET_PIXEL_BGR24 &&
                      pic.first == (count == 0) && pic.time > last);
                last = pic.time;
                const uint64_t h = picture_hash(pic.data, pic.width, pic.height, pic.stride);
                if (count < n && h != expected[count])
                    fail(__LINE__, "cycle %d: picture %d differs from the facade's", cycle, count);
                if (ref && count < kKept)
                    kept[count] = ref, keptHash[count] = h;
                else
                    quillet_buffer_release(ref);
            }
            CHECK_STATUS(status, QUILLET_END);
            CHECK(count == n);
            /* The end is told once, as the facade's -1; then nothing is ready. */
            CHECK_STATUS(quillet_player_read_picture(p, &pic, 0), QUILLET_AGAIN);
        }
        CHECK_STATUS(quillet_player_close(p), QUILLET_OK);
        CHECK_STATUS(quillet_player_start(p), QUILLET_ERROR_STATE);
        quillet_player_destroy(p);
        for (int i = 0; i < kKept && kept[i]; ++i) {
            CHECK(quillet_buffer_size(kept[i]) == 320 * 240 * 3);
            CHECK(picture_hash(quillet_buffer_data(kept[i]), 320, 240, 320 * 3) == keptHash[i]);
            quillet_buffer_release(kept[i]);
        }
    }
}

/* A picture kept after a refused read belongs to the position it was read at: each row moves the
 * player away from it, and the next read shows the new position's picture (at `expected`, or any
 * after the kept one when negative), not the kept one. */
typedef enum { MOVE_SEEK, MOVE_FLUSH, MOVE_CLOSE_OPEN, MOVE_OPEN_AGAIN } move_kind;

void test_kept_picture_belongs_to_its_position(void)
{
    const char* clip = test_clip(2);
    REQUIRE(clip);
    static const struct {
        const char* name;
        move_kind move;
        double expected;
    } rows[] = {{"seek", MOVE_SEEK, 1.0}, {"flush", MOVE_FLUSH, -1.0}, {"close and open", MOVE_CLOSE_OPEN, 0.0},
                {"open again", MOVE_OPEN_AGAIN, 0.0}};
    for (size_t m = 0; m < sizeof rows / sizeof *rows; ++m) {
        g_row = rows[m].name;
        quillet_player* p = start_clip(NULL, clip);
        REQUIRE(p);
        quillet_picture pic = {0};
        uint8_t small[16];
        for (int i = 0; i < 10; ++i)
            CHECK_STATUS(quillet_player_read_picture(p, &pic, 5000), QUILLET_OK);
        CHECK_STATUS(quillet_player_read_picture_into(p, small, sizeof small, 320 * 3, &pic, 5000),
                     QUILLET_ERROR_BUFFER_TOO_SMALL);
        const double kept = pic.time;
        CHECK(kept > 0.3);
        if (rows[m].move == MOVE_SEEK)
            CHECK_STATUS(quillet_player_seek(p, 1.0), QUILLET_OK);
        else if (rows[m].move == MOVE_FLUSH)
            CHECK_STATUS(quillet_player_flush(p), QUILLET_OK);
        else if (rows[m].move == MOVE_CLOSE_OPEN)
            CHECK_STATUS(quillet_player_close(p), QUILLET_OK);
        if (rows[m].move == MOVE_CLOSE_OPEN || rows[m].move == MOVE_OPEN_AGAIN)
            CHECK(start_clip(p, clip) == p);
        /* A flush drops the stream's description too: pictures may not come until a seek. */
        pic.time = -1.0;
        const int status = quillet_player_read_picture(p, &pic, rows[m].move == MOVE_FLUSH ? 500 : 5000);
        CHECK(status == QUILLET_OK || (rows[m].move == MOVE_FLUSH && status == QUILLET_AGAIN));
        const double want = rows[m].expected;
        if (status == QUILLET_OK && (want >= 0 ? pic.time < want - 1e-6 || pic.time > want + 1e-6 : pic.time <= kept + 1e-6))
            fail(__LINE__, "the next picture is at %.3f s (kept one at %.3f s)", pic.time, kept);
        quillet_player_destroy(p);
    }
}

/* Served batches, fetched in turn into caller memory (told the size when too small), as library
 * records and by a wait, make a remote player show the facade's pictures; before the start only
 * the stream's description comes, and a wait for more times out. A client outlives its server:
 * it is told the end. */
void test_serve_to_remote(void)
{
    const char* clip = test_clip(2);
    REQUIRE(clip);
    static uint64_t expected[kMaxPictures];
    const int n = facade_picture_hashes(clip, expected, kMaxPictures);
    REQUIRE(n > 0);
    quillet_player* server = quillet_play_server_create("capi.server");
    quillet_player* remote = quillet_remote_create("capi.remote");
    quillet_client* client = NULL;
    REQUIRE(server && remote && quillet_server_set_source(server, clip) == QUILLET_OK);
    REQUIRE(quillet_server_add_client(server, &client) == QUILLET_OK && client);
    CHECK_STATUS(quillet_player_enable_audio(remote, 0), QUILLET_OK);
    CHECK_STATUS(quillet_player_set_pixel_format(remote, QUILLET_PIXEL_BGR24), QUILLET_OK);
    quillet_batch* batch = NULL;
    size_t capacity = 16, size = 0, batches = 0;
    uint8_t* bytes = malloc(capacity);
    int pending = 0, count = 0, status = QUILLET_AGAIN, started = 0;
    for (const double deadline = now_ms() + 60000; status != QUILLET_END && now_ms() < deadline;) {
        if (batches == 1 && !pending && !started++) {
            CHECK_STATUS(quillet_client_wait_batch(client, &batch, 30), QUILLET_AGAIN);
            CHECK(batch == NULL);
            CHECK_STATUS(quillet_player_start(server), QUILLET_OK);
        }
        if (!pending && batches % 3 == 0) {
            while ((pending = quillet_client_next_batch_into(client, bytes, capacity, &size)) ==
                   QUILLET_ERROR_BUFFER_TOO_SMALL)
                bytes = realloc(bytes, capacity = size);
            batches += (size_t)(pending = pending == QUILLET_OK);
        } else if (!pending && (batches % 3 == 1 ? quillet_client_next_batch(client, &batch)
                                                 : quillet_client_wait_batch(client, &batch, 20)) == QUILLET_OK) {
            if ((size = quillet_batch_size(batch)) > capacity)
                bytes = realloc(bytes, capacity = size);
            memcpy(bytes, quillet_batch_data(batch), size);
            quillet_batch_free(batch);
            batches += (size_t)(pending = 1);
        }
        if (pending && quillet_remote_write(remote, bytes, size) == QUILLET_OK)
            pending = 0;
        quillet_picture pic = {0};
        if ((status = quillet_player_read_picture(remote, &pic, pending ? 0 : 20)) == QUILLET_OK &&
            count++ < n && picture_hash(pic.data, pic.width, pic.height, pic.stride) != expected[count - 1])
            fail(__LINE__, "remote picture %d differs from the facade's", count - 1);
    }
    CHECK_STATUS(status, QUILLET_END);
    CHECK(count == n && batches > 0);
    quillet_player_destroy(server);
    CHECK_STATUS(quillet_client_next_batch(client, &batch), QUILLET_END);
    CHECK_STATUS(quillet_client_wait_batch(client, &batch, -1), QUILLET_END);
    quillet_client_destroy(client);
    quillet_player_destroy(remote);
    free(bytes);
}
