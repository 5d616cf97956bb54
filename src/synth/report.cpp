#include "synth/report.h"

#include "synth/latency.h"
#include "synth/output.h"
#include "synth/state.h"

#include <cstdio>
#include <deque>
#include <vector>

namespace {

constexpr unsigned KEPT = 256;
constexpr long long MINUTE_MS = 60000;

std::deque<Timed> last;    // the ring, oldest first
std::vector<Timed> minute; // this minute's notes
long long began = -1;      // when this minute began

} // namespace

void report(long long now, const std::string &dir) {
    if (began < 0) began = now;
    bool changed = false;
    for (Timed t; taketimed(t); changed = true) {
        last.push_back(t);
        if (last.size() > KEPT) last.pop_front();
        minute.push_back(t);
    }
    if (changed) savestate(dir, "notes", formatnotes(last));
    if (now - began < MINUTE_MS) return;
    began = now;
    if (minute.empty()) return;
    Figures f = figures(minute);
    std::string across;
    if (f.count < static_cast<int>(minute.size()))
        across = ", " + std::to_string(minute.size() - f.count) + " across an underrun left out";
    if (f.count)
        std::printf("sensormidi-synth: %zu notes in the last minute%s; MIDI to output: median "
                    "%.1f ms, 90th percentile %.1f ms, worst %.1f ms; buffer %s\n",
                    minute.size(), across.c_str(), f.median, f.p90, f.worst,
                    outputbuffer().c_str());
    else
        std::printf("sensormidi-synth: %zu notes in the last minute%s; buffer %s\n", minute.size(),
                    across.c_str(), outputbuffer().c_str());
    if (f.count) minutemedian = f.median;
    minute.clear();
}
