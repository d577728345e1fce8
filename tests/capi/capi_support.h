/* Support for the C interface's tests: checks that report and fail the
 * current test, generated media, picture hashes, clocks, threads and the
 * RTSP test camera. C11; each test runs on the main thread (helpers start
 * their own threads with pthreads). */
#ifndef QUILLET_CAPI_SUPPORT_H_
#define QUILLET_CAPI_SUPPORT_H_

#include <quillet/quillet.h>
#include <stdint.h>
#include <stdio.h>

/* The failures of the running test. */
extern int g_failures;

#define CHECK(cond)                                                                         \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond);       \
            ++g_failures;                                                                   \
        }                                                                                   \
    } while (0)

/* Checks a status and, when it differs, prints both names and the error message. */
#define CHECK_STATUS(expr, expected)                                                        \
    do {                                                                                    \
        const int got_ = (expr);                                                            \
        if (got_ != (expected)) {                                                           \
            fprintf(stderr, "%s:%d: %s gave %s, expected %s (%s)\n", __FILE__, __LINE__, #expr, \
                    quillet_status_name(got_), quillet_status_name(expected), quillet_error_message()); \
            ++g_failures;                                                                   \
        }                                                                                   \
    } while (0)

/* Ends the test at once when `cond` fails (later steps would only add noise). */
#define REQUIRE(cond)                                                                       \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            fprintf(stderr, "%s:%d: REQUIRE failed: %s (%s)\n", __FILE__, __LINE__, #cond,  \
                    quillet_error_message());                                               \
            ++g_failures;                                                                   \
            return;                                                                         \
        }                                                                                   \
    } while (0)

/* A 320x240, 25 fps H.264 clip with AAC sound of `seconds`, one key picture a second, made once
 * in the working folder; its path. */
const char* test_clip(int seconds);

/* FNV-1a over the picture's rows (width * 3 bytes each). */
uint64_t picture_hash(const uint8_t* data, int width, int height, int stride);

/* Monotonic milliseconds. */
double now_ms(void);

/* Runs `fn(arg)` on a new thread; join with join_thread. */
typedef struct test_thread test_thread;
test_thread* start_thread(void (*fn)(void*), void* arg);
void join_thread(test_thread* thread);

/* The RTSP test camera: started on `port` (0 picks one); its URL ("rtsp://127.0.0.1:N") in
 * `url`. 0 when it is not available on this machine (the test is then skipped). */
typedef struct test_camera {
    int pid;
    int port;
    char url[256];
    char log[256];
} test_camera;
int camera_available(void);
int camera_start(test_camera* camera, int port);
void camera_kill(test_camera* camera);

/* The C++ facade's picture hashes of `clip` in BGR24 (facade_reference.cpp); how many, up to
 * `capacity`; -1 on failure. */
int facade_picture_hashes(const char* clip, uint64_t* hashes, int capacity);

#endif
