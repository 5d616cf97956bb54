/* Listens on an ALSA sequencer port as a synth does, and prints each Note On and Program
 * Change that it hears with the moment it came (CLOCK_MONOTONIC): "SECONDS NOTE VELOCITY"
 * or "SECONDS program PROGRAM", a line each. It says "listening" once connected.
 * Usage: listener CLIENT:PORT */
#include <alsa/asoundlib.h>
#include <stdio.h>
#include <time.h>

int main(int argc, char **argv) {
    snd_seq_t *seq;
    snd_seq_addr_t from;
    if (argc != 2 || snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, 0) < 0) {
        fprintf(stderr, "usage: listener CLIENT:PORT\n");
        return 2;
    }
    int port = snd_seq_create_simple_port(seq, "listener",
                                          SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                          SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0 || snd_seq_parse_address(seq, &from, argv[1]) < 0 ||
        snd_seq_connect_from(seq, port, from.client, from.port) < 0) {
        fprintf(stderr, "listener: cannot listen to %s\n", argv[1]);
        return 1;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    printf("listening\n");
    snd_seq_event_t *ev;
    while (snd_seq_event_input(seq, &ev) >= 0) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (ev->type == SND_SEQ_EVENT_NOTEON)
            printf("%lld.%09ld %d %d\n", (long long)now.tv_sec, now.tv_nsec, ev->data.note.note,
                   ev->data.note.velocity);
        else if (ev->type == SND_SEQ_EVENT_PGMCHANGE)
            printf("%lld.%09ld program %d\n", (long long)now.tv_sec, now.tv_nsec,
                   ev->data.control.value);
    }
    return 1;
}
