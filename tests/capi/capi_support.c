#define _POSIX_C_SOURCE 200809L
#include "capi_support.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <errno.h>
#include <time.h>
#include <unistd.h>

int g_failures = 0;

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

struct test_thread {
    pthread_t id;
    void (*fn)(void*);
    void* arg;
};

static void* thread_main(void* p)
{
    test_thread* t = p;
    t->fn(t->arg);
    return NULL;
}

test_thread* start_thread(void (*fn)(void*), void* arg)
{
    test_thread* t = calloc(1, sizeof *t);
    t->fn = fn;
    t->arg = arg;
    if (pthread_create(&t->id, NULL, thread_main, t) != 0) {
        free(t);
        return NULL;
    }
    return t;
}

void join_thread(test_thread* thread)
{
    if (!thread)
        return;
    pthread_join(thread->id, NULL);
    free(thread);
}

static const char* camera_script(void)
{
    static const char* const candidates[] = {"../../../../shared/tools/rtsp_test_server.py",
                                             "/work/shared/tools/rtsp_test_server.py"};
    for (size_t i = 0; i < sizeof candidates / sizeof *candidates; ++i)
        if (access(candidates[i], R_OK) == 0)
            return candidates[i];
    return NULL;
}

int camera_available(void)
{
    return camera_script() && access("/usr/bin/python3", X_OK) == 0 &&
           system("/usr/bin/python3 -c \"import gi; gi.require_version('GstRtspServer', '1.0'); "
                  "from gi.repository import GstRtspServer\" >/dev/null 2>&1") == 0;
}

int camera_start(test_camera* camera, int port)
{
    snprintf(camera->log, sizeof camera->log, "capi_camera_%d.log", (int)getpid());
    char port_text[16];
    snprintf(port_text, sizeof port_text, "%d", port);
    const pid_t pid = fork();
    if (pid < 0)
        return 0;
    if (pid == 0) {
        FILE* log = freopen(camera->log, "w", stdout);
        (void)log;
        dup2(STDOUT_FILENO, STDERR_FILENO);
        execl("/usr/bin/python3", "python3", camera_script(), "--port", port_text, (char*)NULL);
        _exit(127);
    }
    camera->pid = pid;
    /* The server says "READY <url>" once it listens. */
    for (const double end = now_ms() + 15000; now_ms() < end;) {
        FILE* log = fopen(camera->log, "r");
        char line[256];
        while (log && fgets(line, sizeof line, log))
            if (strncmp(line, "READY ", 6) == 0) {
                line[strcspn(line, "\n")] = 0;
                snprintf(camera->url, sizeof camera->url, "%s", line + 6);
                const char* colon = strrchr(camera->url, ':');
                camera->port = colon ? atoi(colon + 1) : 0;
                fclose(log);
                return 1;
            }
        if (log)
            fclose(log);
        if (waitpid(pid, NULL, WNOHANG) == pid)
            break;
        const struct timespec pause = {0, 50 * 1000 * 1000};
        nanosleep(&pause, NULL);
    }
    camera_kill(camera);
    return 0;
}

void camera_kill(test_camera* camera)
{
    if (camera->pid > 0) {
        kill(camera->pid, SIGKILL);
        waitpid(camera->pid, NULL, 0);
        camera->pid = 0;
    }
    unlink(camera->log);
}
