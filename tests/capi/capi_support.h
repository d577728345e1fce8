/* Support for the C interface's tests: checks that report and fail the
 * current test (naming the table row that runs), generated media, picture
 * hashes and clocks. C11; each test runs on the main thread. */
#ifndef QUILLET_CAPI_SUPPORT_H_
#define QUILLET_CAPI_SUPPORT_H_

#include <quillet/quillet.h>
#include <stdint.h>
#include <stdio.h>

/* The failures of the running test, and the name of the table row it runs (NULL: none). */
extern int g_failures;
extern const char* g_row;

/* Reports a failure at `line`, naming the row, and counts it. */
void fail(int line, const char* format, ...) __attribute__((format(printf, 2, 3)));

#define CHECK(cond) ((cond) ? (void)0 : fail(__LINE__, "CHECK failed: %s", #cond))

/* Checks a status and, when it differs, prints both names and the error message. */
#define CHECK_STATUS(expr, expected)                                                               \
    do {                                                                                           \
        const int got_ = (expr);                                                                   \
        if (got_ != (expected))                                                                    \
            fail(__LINE__, "%s gave %s, expected %s (%s)", #expr, quillet_status_name(got_),       \
                 quillet_status_name(expected), quillet_error_message());                          \
    } while (0)

/* Ends the test at once when `cond` fails (later steps would only add noise). */
#define REQUIRE(cond)                                                                              \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fail(__LINE__, "REQUIRE failed: %s (%s)", #cond, quillet_error_message());             \
            return;                                                                                \
        }                                                                                          \
    } while (0)

/* Evaluates `cond` every few milliseconds until it holds or `ms` passed. */
#define WAIT_UNTIL(cond, ms)                                                                       \
    for (const double until_ = now_ms() + (ms); !(cond) && now_ms() < until_;)                     \
    pause_ms(5)

/* A 320x240, 25 fps H.264 clip with AAC sound of `seconds`, one key picture a second, made once
 * in the working folder; its path. */
const char* test_clip(int seconds);

/* Opens `clip` on `p` (a new player when NULL) and starts it without sound; no pixel format is
 * asked for, so pictures come in BGR24. The player, or NULL (and `p` destroyed) on failure. */
quillet_player* start_clip(quillet_player* p, const char* clip);

/* FNV-1a over the picture's rows (width * 3 bytes each). */
uint64_t picture_hash(const uint8_t* data, int width, int height, int stride);

/* Monotonic milliseconds; a pause. */
double now_ms(void);
void pause_ms(int ms);

/* The C++ facade's picture hashes of `clip` in BGR24 (facade_reference.cpp); how many, up to
 * `capacity`; -1 on failure. */
int facade_picture_hashes(const char* clip, uint64_t* hashes, int capacity);

#endif
