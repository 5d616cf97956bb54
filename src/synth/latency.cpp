#include "synth/latency.h"

#include <algorithm>
#include <cstdio>

long long playedat(long long stamp, long delay, long long written, long long frame, int rate) {
    // Frames between the one asked of and the next one written leave before that one.
    long long ahead = delay - (written - frame);
    return stamp + ahead * 1000000000LL / rate;
}

Figures figures(const std::vector<Timed> &notes) {
    std::vector<double> ms;
    for (const Timed &t : notes)
        if (!t.underrun) ms.push_back(t.ms);
    Figures f;
    f.count = static_cast<int>(ms.size());
    if (ms.empty()) return f;
    std::sort(ms.begin(), ms.end());
    f.median = ms[ms.size() / 2];
    f.p90 = ms[std::min(ms.size() - 1, ms.size() * 9 / 10)];
    f.worst = ms.back();
    return f;
}

std::string formatnotes(const std::deque<Timed> &notes) {
    std::string text;
    char line[80];
    for (const Timed &t : notes) {
        std::snprintf(line, sizeof line, "%lld.%09lld %d %.2f %d\n", t.arrival / 1000000000LL,
                      t.arrival % 1000000000LL, t.note, t.ms, t.underrun ? 1 : 0);
        text += line;
    }
    return text;
}
