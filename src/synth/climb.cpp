#include "synth/climb.h"

#include <cstdlib>

namespace {
long long opened;
long long recent[CLIMB_UNDERRUNS]; // the last underruns counted, oldest first
int count;
} // namespace

void climbopened(long long now) {
    opened = now;
    count = 0;
}

int climbstart(const std::string &kept) {
    int period = std::atoi(kept.c_str());
    return period > AUTO_FIRST && period <= AUTO_LAST ? period : AUTO_FIRST;
}

bool climbunderrun(long long now) {
    if (now - opened < CLIMB_GRACE_MS) return false;
    if (count == CLIMB_UNDERRUNS) {
        for (int i = 1; i < CLIMB_UNDERRUNS; i++)
            recent[i - 1] = recent[i];
        count--;
    }
    recent[count++] = now;
    if (count < CLIMB_UNDERRUNS || now - recent[0] > CLIMB_WINDOW_MS) return false;
    count = 0;
    return true;
}
