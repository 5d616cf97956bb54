#include "synth/pcm.h"

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace {

snd_pcm_t *pcm;

// The card's own view of the stream: /proc/asound/cardN/pcmDp/subS/hw_params, where a
// plughw device's rate and period are those the card runs at.
void cardview(Granted &granted) {
    snd_pcm_info_t *info;
    snd_pcm_info_alloca(&info);
    if (snd_pcm_info(pcm, info) < 0 || snd_pcm_info_get_card(info) < 0) return;
    granted.card = snd_pcm_info_get_card(info);
    std::string card = "/proc/asound/card" + std::to_string(granted.card);
    std::ifstream params(card + "/pcm" + std::to_string(snd_pcm_info_get_device(info)) + "p/sub" +
                         std::to_string(snd_pcm_info_get_subdevice(info)) + "/hw_params");
    // "rate: 48000 (48000/1)", "period_size: 1024", "buffer_size: 4096", ...
    std::map<std::string, long> found;
    for (std::string line; std::getline(params, line);) {
        size_t colon = line.find(": ");
        if (colon != std::string::npos)
            found[line.substr(0, colon)] = std::atol(line.c_str() + colon + 2);
    }
    if (found["period_size"] > 0) {
        granted.rate = static_cast<int>(found["rate"]);
        granted.period = static_cast<int>(found["period_size"]);
        granted.periods = static_cast<int>(found["buffer_size"] / found["period_size"]);
        granted.size = found["buffer_size"];
    }
    std::getline(std::ifstream(card + "/id"), granted.id);
    char *name = nullptr;
    if (snd_card_get_name(granted.card, &name) == 0) {
        granted.name = name;
        free(name);
    }
}

int configure(int rate, int period, int periods, Granted &granted) {
    snd_pcm_hw_params_t *hw;
    snd_pcm_hw_params_alloca(&hw);
    unsigned int count = periods;
    snd_pcm_uframes_t frames = period;
    int dir = 0, err;
    if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0 ||
        (err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(pcm, hw, 2)) < 0 ||
        (err = snd_pcm_hw_params_set_rate(pcm, hw, rate, 0)) < 0 ||
        (err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &frames, &dir)) < 0 ||
        (err = snd_pcm_hw_params_set_periods_near(pcm, hw, &count, &dir)) < 0 ||
        (err = snd_pcm_hw_params(pcm, hw)) < 0)
        return err;
    snd_pcm_uframes_t buffer;
    snd_pcm_hw_params_get_period_size(hw, &frames, &dir);
    snd_pcm_hw_params_get_buffer_size(hw, &buffer);
    snd_pcm_sw_params_t *sw;
    snd_pcm_sw_params_alloca(&sw);
    // Woken a period at a time; started as soon as a period is in; each status stamped on
    // the clock that the notes' arrivals are read on.
    if ((err = snd_pcm_sw_params_current(pcm, sw)) < 0 ||
        (err = snd_pcm_sw_params_set_avail_min(pcm, sw, frames)) < 0 ||
        (err = snd_pcm_sw_params_set_start_threshold(pcm, sw, frames)) < 0 ||
        (err = snd_pcm_sw_params_set_tstamp_mode(pcm, sw, SND_PCM_TSTAMP_ENABLE)) < 0 ||
        (err = snd_pcm_sw_params_set_tstamp_type(pcm, sw, SND_PCM_TSTAMP_TYPE_MONOTONIC)) < 0 ||
        (err = snd_pcm_sw_params(pcm, sw)) < 0)
        return err;
    granted.frames = static_cast<long>(frames);
    granted.buffer = static_cast<long>(buffer);
    granted.rate = rate;
    granted.period = static_cast<int>(frames);
    granted.periods = static_cast<int>(buffer / frames);
    granted.size = static_cast<long>(buffer);
    return 0;
}

} // namespace

int pcm_open(const std::string &device, int rate, int period, int periods, Granted &granted) {
    granted = Granted();
    int err = snd_pcm_open(&pcm, device.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0) return err;
    if ((err = configure(rate, period, periods, granted)) < 0) {
        pcm_close();
        return err;
    }
    cardview(granted);
    return 0;
}

int pcm_wait(int ms) {
    return snd_pcm_wait(pcm, ms);
}

long pcm_avail() {
    return snd_pcm_avail_update(pcm);
}

long pcm_write(const int16_t *frames, long count) {
    return snd_pcm_writei(pcm, frames, count);
}

int pcm_status(long long &stamp, long &delay, bool &running) {
    snd_pcm_status_t *status;
    snd_pcm_status_alloca(&status);
    int err = snd_pcm_status(pcm, status);
    if (err < 0) return err;
    snd_htimestamp_t at;
    snd_pcm_status_get_htstamp(status, &at);
    stamp = at.tv_sec * 1000000000LL + at.tv_nsec;
    delay = snd_pcm_status_get_delay(status);
    running = snd_pcm_status_get_state(status) == SND_PCM_STATE_RUNNING;
    return 0;
}

int pcm_prepare() {
    return snd_pcm_prepare(pcm);
}

int pcm_resume() {
    return snd_pcm_resume(pcm);
}

void pcm_drain(int ms) {
    // Non-blocking, the drain goes on in the card: waited for, up to its bound.
    int err = snd_pcm_drain(pcm);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while ((err == 0 || err == -EAGAIN) && snd_pcm_state(pcm) == SND_PCM_STATE_DRAINING &&
           std::chrono::steady_clock::now() < until)
        snd_pcm_wait(pcm, 10);
}

void pcm_close() {
    if (pcm) snd_pcm_close(pcm);
    pcm = nullptr;
}

const char *pcm_error(int err) {
    return snd_strerror(err);
}
