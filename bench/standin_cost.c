/* Measures what the recording stand-in costs per call, so the benchmark can
 * tell the program's own CPU time from the stand-in's. */
#include <alsa/asoundlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

static double cpu(void) {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int main(int argc, char **argv) {
    long calls = argc > 1 ? atol(argv[1]) : 200000;
    snd_rawmidi_t *out = NULL;
    snd_rawmidi_open(NULL, &out, "hw:1,0,0", 0);
    const unsigned char on[3] = {0x90, 0x43, 0x3c};
    double start = cpu();
    for (long i = 0; i < calls; i += 2) {
        snd_rawmidi_write(out, on, sizeof on);
        snd_rawmidi_drain(out);
    }
    printf("%.3f\n", (cpu() - start) / calls * 1e6);
    return 0;
}
