#include "synth/climb.h"

#include <algorithm>
#include <cstdio>

int climbperiod = AUTO_FIRST;
long long climbstretch = STRETCH_FIRST_MS;

namespace {
long long opened;
long long recent[CLIMB_UNDERRUNS]; // the last underruns counted, oldest first
int count;
long long quiet; // since when no underrun came at this period
bool trying;     // the period was lowered, and has not yet held for a stretch
} // namespace

void climbstart(const std::string &kept, long long now) {
    int period = 0;
    long long stretch = 0;
    bool read = std::sscanf(kept.c_str(), "%d %lld", &period, &stretch) == 2 &&
                period >= AUTO_FIRST && period <= AUTO_LAST && stretch >= STRETCH_FIRST_MS &&
                stretch <= STRETCH_LAST_MS;
    climbperiod = read ? period : AUTO_FIRST;
    climbstretch = read ? stretch : STRETCH_FIRST_MS;
    quiet = now;
    trying = false;
    count = 0;
}

std::string climbkept() {
    return std::to_string(climbperiod) + " " + std::to_string(climbstretch) + "\n";
}

void climbopened(long long now) {
    opened = now;
    count = 0;
}

bool climbunderrun(long long now, int granted) {
    if (now - opened < CLIMB_GRACE_MS) return false;
    quiet = now;
    if (count == CLIMB_UNDERRUNS) {
        std::copy(recent + 1, recent + CLIMB_UNDERRUNS, recent);
        count--;
    }
    recent[count++] = now;
    if (count < CLIMB_UNDERRUNS || now - recent[0] > CLIMB_WINDOW_MS || granted >= AUTO_LAST)
        return false;
    count = 0;
    climbperiod = std::min(AUTO_LAST, granted * 2);
    // The lower period tried did not hold: the next try waits twice as long.
    if (trying) climbstretch = std::min(STRETCH_LAST_MS, climbstretch * 2);
    trying = false;
    return true;
}

bool climbdescend(long long now) {
    if (now - quiet < climbstretch) return false;
    quiet = now;
    trying = false; // what was tried held for a stretch
    if (climbperiod <= AUTO_FIRST) return false;
    climbperiod /= 2;
    trying = true;
    count = 0;
    return true;
}
