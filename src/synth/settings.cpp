#include "synth/settings.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// A whole number or decimal, nothing else: "64 " or "1e3" is refused, as is "".
bool number(const char *text, double low, double high, bool whole, double &out) {
    char *end = nullptr;
    errno = 0;
    double value =
        whole ? static_cast<double>(std::strtol(text, &end, 10)) : std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value)) return false;
    if (value < low || value > high) return false;
    out = value;
    return true;
}

std::string range(const char *name, const char *text, const char *what) {
    return std::string("sensormidi-synth: ") + name + "=" + text + ": " + what;
}

} // namespace

std::string readsettings(const char *(*get)(const char *), Settings &settings) {
    if (const char *text = get("AUDIO_DEVICE")) {
        if (*text == '\0') return range("AUDIO_DEVICE", text, "empty: \"auto\" or an ALSA device");
        settings.device = text;
    }
    if (const char *text = get("SOUND_FONT")) settings.font = text;
    const char *size = get("PERIOD_SIZE");
    if (size && std::strcmp(size, "auto") == 0) size = nullptr;
    settings.autoperiod = !size;
    // FluidSynth's own bounds for its gain and rate; a period of 64 frames is its block.
    struct {
        const char *name, *text, *what;
        double low, high;
        bool whole;
        double value;
    } numbers[] = {
        {"GAIN", get("GAIN"), "not a number from 0 to 10", 0, 10, false, settings.gain},
        {"SAMPLE_RATE", get("SAMPLE_RATE"), "not a whole number from 8000 to 96000", 8000, 96000,
         true, 0.0 + settings.rate},
        {"PERIOD_SIZE", size, "not \"auto\" or a whole number from 64 to 8192", 64, 8192, true,
         0.0 + settings.period},
        {"PERIODS", get("PERIODS"), "not a whole number from 2 to 64", 2, 64, true,
         0.0 + settings.periods},
    };
    for (auto &n : numbers)
        if (n.text && !number(n.text, n.low, n.high, n.whole, n.value))
            return range(n.name, n.text, n.what);
    settings.gain = numbers[0].value;
    settings.rate = static_cast<int>(numbers[1].value);
    settings.period = static_cast<int>(numbers[2].value);
    settings.periods = static_cast<int>(numbers[3].value);
    return "";
}
