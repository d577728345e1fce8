/* Plays a file, URL or camera through the C interface, writes every Nth
 * picture as a PPM file and prints the events as they come.
 *   play_events SOURCE [N]      (N: 25 by default)
 * Build: cc -std=c11 play_events.c $(pkg-config --cflags --libs quillet) */
#include <quillet/quillet.h>
#include <stdio.h>
#include <stdlib.h>

/* Writes one packed RGB picture as a binary PPM. */
static int write_ppm(const char* path, const quillet_picture* pic)
{
    FILE* f = fopen(path, "wb");
    if (!f)
        return 0;
    fprintf(f, "P6\n%d %d\n255\n", pic->width, pic->height);
    for (int y = 0; y < pic->height; ++y)
        fwrite(pic->data + (size_t)y * (size_t)pic->stride, 3, (size_t)pic->width, f);
    return fclose(f) == 0;
}

static void print_event(const quillet_event* e)
{
    if (e->dropped)
        printf("(%llu events dropped)\n", (unsigned long long)e->dropped);
    switch (e->type) {
    case QUILLET_EVENT_MESSAGE:
        printf("event: %s\n", e->code == QUILLET_MESSAGE_END_OF_STREAM ? "end of stream" : "message");
        if (e->code != QUILLET_MESSAGE_END_OF_STREAM)
            printf("  message %d\n", e->code);
        break;
    case QUILLET_EVENT_CONNECTION_STATUS: printf("event: connection %d: %s\n", e->code, e->text); break;
    case QUILLET_EVENT_SYNC_POINT: printf("event: sync point %s at %.3f s\n", e->text, e->video_time); break;
    case QUILLET_EVENT_PUBLISHING_STATUS: printf("event: publishing %s: %d\n", e->url, e->code); break;
    case QUILLET_EVENT_MISSED_PICTURES: printf("event: missed %llu pictures\n", (unsigned long long)e->missed); break;
    default: break;
    }
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s SOURCE [N]\n", argv[0]);
        return 2;
    }
    const int every = argc > 2 ? atoi(argv[2]) : 25;
    if (quillet_version() >> 16 != QUILLET_VERSION_MAJOR) {
        fprintf(stderr, "built for another major version of quillet\n");
        return 1;
    }
    quillet_player* player = quillet_player_create("play_events");
    if (!player) {
        fprintf(stderr, "cannot create a player: %s\n", quillet_error_message());
        return 1;
    }
    int status = quillet_player_open(player, argv[1]);
    if (status != QUILLET_OK) {
        fprintf(stderr, "cannot open %s: %s (%s)\n", argv[1], quillet_status_name(status), quillet_error_message());
        quillet_player_destroy(player);
        return 1;
    }
    int width = 0, height = 0;
    quillet_player_get_dimensions(player, &width, &height);
    printf("opened %s: %dx%d\n", argv[1], width, height);
    quillet_player_set_pixel_format(player, QUILLET_PIXEL_RGB24);
    quillet_player_start(player);

    int pictures = 0, written = 0;
    quillet_picture pic = {0};
    quillet_event event = {0};
    /* A live camera never ends: stop after a minute of pictures there. */
    while ((status = quillet_player_read_picture(player, &pic, 10000)) == QUILLET_OK && pictures < 1500) {
        if (pictures % every == 0) {
            char path[64];
            snprintf(path, sizeof path, "picture_%05d.ppm", pictures);
            written += write_ppm(path, &pic);
        }
        ++pictures;
        while (quillet_player_wait_event(player, &event, 0) == QUILLET_OK)
            print_event(&event);
    }
    while (quillet_player_wait_event(player, &event, 0) == QUILLET_OK)
        print_event(&event);
    if (status != QUILLET_OK && status != QUILLET_END)
        fprintf(stderr, "reading stopped: %s (%s)\n", quillet_status_name(status), quillet_error_message());
    quillet_player_destroy(player);
    printf("played %d pictures, wrote %d PPM files\n", pictures, written);
    return pictures > 0 ? 0 : 1;
}
