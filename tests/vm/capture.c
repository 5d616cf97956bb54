/* Records a capture device, 16-bit stereo at 48 kHz, a period at a time, and prints for
 * each period when its first frame was captured and where sound first rises in it:
 * "SECONDS LOUD", SECONDS on CLOCK_MONOTONIC from the stream's own timestamp and delay at
 * one moment, LOUD the first frame of the period over -50 dBFS, or -1. It says
 * "capturing" once started.
 * Usage: capture DEVICE PERIOD_FRAMES */
#include <alsa/asoundlib.h>
#include <stdio.h>
#include <stdlib.h>

enum { RATE = 48000, LOUD = 104 }; /* -50 dBFS of 32768 */

int main(int argc, char **argv) {
    snd_pcm_t *pcm;
    snd_pcm_hw_params_t *hw;
    snd_pcm_sw_params_t *sw;
    snd_pcm_status_t *status;
    snd_pcm_uframes_t period = argc == 3 ? strtoul(argv[2], NULL, 10) : 0;
    if (period == 0 || snd_pcm_open(&pcm, argv[1], SND_PCM_STREAM_CAPTURE, 0) < 0) {
        fprintf(stderr, "usage: capture DEVICE PERIOD_FRAMES\n");
        return 2;
    }
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_status_alloca(&status);
    /* A few hundred ms held, should the reader fall behind. */
    snd_pcm_uframes_t buffer = period * 64;
    int err;
    if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0 ||
        (err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(pcm, hw, 2)) < 0 ||
        (err = snd_pcm_hw_params_set_rate(pcm, hw, RATE, 0)) < 0 ||
        (err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, NULL)) < 0 ||
        (err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer)) < 0 ||
        (err = snd_pcm_hw_params(pcm, hw)) < 0 || (err = snd_pcm_sw_params_current(pcm, sw)) < 0 ||
        (err = snd_pcm_sw_params_set_tstamp_mode(pcm, sw, SND_PCM_TSTAMP_ENABLE)) < 0 ||
        (err = snd_pcm_sw_params_set_tstamp_type(pcm, sw, SND_PCM_TSTAMP_TYPE_MONOTONIC)) < 0 ||
        (err = snd_pcm_sw_params(pcm, sw)) < 0) {
        fprintf(stderr, "capture: %s: %s\n", argv[1], snd_strerror(err));
        return 1;
    }
    short *frames = malloc(period * 4);
    if (!frames) return 1;
    setvbuf(stdout, NULL, _IOLBF, 0);
    printf("capturing\n");
    for (;;) {
        snd_pcm_sframes_t n = snd_pcm_readi(pcm, frames, period);
        if (n < 0) n = snd_pcm_recover(pcm, (int)n, 1);
        if (n < 0) return 1;
        if (n == 0 || snd_pcm_status(pcm, status) < 0) continue;
        snd_htimestamp_t at;
        snd_pcm_status_get_htstamp(status, &at);
        /* At the stamp, `delay` frames were captured after the last one read. */
        double first =
            at.tv_sec + at.tv_nsec / 1e9 - (double)(n + snd_pcm_status_get_delay(status)) / RATE;
        long loud = -1;
        for (long i = 0; i < n && loud < 0; i++)
            if (abs(frames[2 * i]) > LOUD || abs(frames[2 * i + 1]) > LOUD) loud = i;
        printf("%.6f %ld\n", first, loud);
    }
}
