/* The C interface's tests, compiled as C11 with warnings as errors against
 * the shared library. `quillet_c_tests NAME` runs one suite (as ctest does),
 * no argument runs all. */
#include <string.h>

#include "capi_support.h"

#define SUITES(X)                                                                                  \
    X(PlayMatchesFacade, test_play_matches_facade)                                                 \
    X(KeptPicture, test_kept_picture_belongs_to_its_position)                                      \
    X(ServeToRemote, test_serve_to_remote)                                                         \
    X(Record, test_record_segments_and_queue_bound)                                                \
    X(BlockedCallsEnd, test_blocked_calls_end_on_destroy_or_interrupt)                             \
    X(BadArguments, test_bad_arguments)                                                            \
    X(StaleHandles, test_stale_handles)                                                            \
    X(Handlers, test_handler_calls)
#define DECLARE(name, fn) void fn(void);
#define ENTRY(name, fn) {#name, fn},
SUITES(DECLARE)
static const struct {
    const char* name;
    void (*run)(void);
} kSuites[] = {SUITES(ENTRY)};

int main(int argc, char** argv)
{
    int failed = 0, ran = 0;
    for (size_t i = 0; i < sizeof kSuites / sizeof *kSuites; ++i) {
        if (argc > 1 && strcmp(argv[1], kSuites[i].name) != 0)
            continue;
        g_failures = 0;
        g_row = NULL;
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
