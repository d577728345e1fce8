/* The C interface's tests, compiled as C11 with warnings as errors against
 * the shared library. `quillet_c_tests NAME` runs one suite (as ctest does),
 * no argument runs all. */
#include <stdio.h>
#include <string.h>

#include "capi_support.h"

void test_play_matches_facade(void);
void test_kept_picture_belongs_to_its_position(void);
void test_serve_to_remote(void);
void test_record_segments_and_queue_bound(void);
void test_blocked_calls_end_on_destroy_or_interrupt(void);
void test_bad_arguments(void);
void test_camera_reconnects(void);
void test_stale_handles(void);
void test_handler_calls(void);

static const struct {
    const char* name;
    void (*run)(void);
} kSuites[] = {
    {"PlayMatchesFacade", test_play_matches_facade},
    {"KeptPicture", test_kept_picture_belongs_to_its_position},
    {"ServeToRemote", test_serve_to_remote},
    {"Record", test_record_segments_and_queue_bound},
    {"BlockedCallsEnd", test_blocked_calls_end_on_destroy_or_interrupt},
    {"BadArguments", test_bad_arguments},
    {"CameraReconnects", test_camera_reconnects},
    {"StaleHandles", test_stale_handles},
    {"Handlers", test_handler_calls},
};

int main(int argc, char** argv)
{
    int failed = 0, ran = 0;
    for (size_t i = 0; i < sizeof kSuites / sizeof *kSuites; ++i) {
        if (argc > 1 && strcmp(argv[1], kSuites[i].name) != 0)
            continue;
        g_failures = 0;
        kSuites[i].run();
        ++ran;
        printf("%s %s\n", g_failures ? "FAILED" : "ok", kSuites[i].name);
        failed += g_failures != 0;
    }
    if (ran == 0) {
        fprintf(stderr, "no suite named %s\n", argc > 1 ? argv[1] : "");
        return 2;
    }
    return failed ? 1 : 0;
}
