#define _POSIX_C_SOURCE 200809L
#include "capi_support.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int g_failures = 0;
const char* g_row = NULL;

void fail(int line, const char* format, ...)
{
    fprintf(stderr, "line %d%s%s: ", line, g_row ? ", row " : "", g_row ? g_row : "");
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    ++g_failures;
}

const char* test_clip(int seconds)
{
    static char path[64];
    snprintf(path, sizeof path, "capi_clip_%ds.mp4", seconds);
    struct stat st;
    if (stat(path, &st) == 0 && st.st_size > 0)
        return path;
    /* Tests run side by side in one folder: each writes its own copy and links it into place,
     * so none opens a clip another is still writing. */
    char partial[96], command[512];
    snprintf(partial, sizeof partial, "%s.%ld.mp4", path, (long)getpid());
    snprintf(command, sizeof command,
             "ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25:duration=%d "
             "-f lavfi -i sine=frequency=440:duration=%d -c:v libx264 -g 25 -pix_fmt yuv420p "
             "-c:a aac -shortest %s",
             seconds, seconds, partial);
    if (system(command) != 0)
        return NULL;
    /* The first copy in place stays, so every test reads the same bytes. */
    const int linked = link(partial, path) == 0 || errno == EEXIST;
    unlink(partial);
    return linked ? path : NULL;
}

quillet_player* start_clip(quillet_player* p, const char* clip)
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

uint64_t picture_hash(const uint8_t* data, int width, int height, int stride)
{
    uint64_t h = 1469598103934665603ull;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x) {
            h ^= data[(size_t)y * (size_t)stride + (size_t)x];
            h *= 1099511628211ull;
        }
    return h;
}

double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
}

void pause_ms(int ms)
{
    const struct timespec pause = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&pause, NULL);
}
