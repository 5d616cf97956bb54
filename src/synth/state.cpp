#include "synth/state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

int programs[CHANNELS] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

std::string formatprograms(const int (&kept)[CHANNELS]) {
    std::string text;
    for (int c = 0; c < CHANNELS; c++)
        if (kept[c] >= 0) text += std::to_string(c + 1) + " " + std::to_string(kept[c]) + "\n";
    return text;
}

void parseprograms(const std::string &text, int (&kept)[CHANNELS]) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        int channel, program;
        char extra;
        if (std::sscanf(line.c_str(), "%d %d %c", &channel, &program, &extra) == 2 &&
            channel >= 1 && channel <= CHANNELS && program >= 0 && program <= 127)
            kept[channel - 1] = program;
    }
}

std::string loadstate(const std::string &dir, const char *name) {
    if (dir.empty()) return "";
    std::ifstream f(dir + "/" + name);
    std::ostringstream text;
    text << f.rdbuf();
    return text.str();
}

void savestate(const std::string &dir, const char *name, const std::string &text) {
    if (dir.empty()) return;
    std::string path = dir + "/" + name, part = path + ".new";
    FILE *f = std::fopen(part.c_str(), "w");
    bool ok = f && std::fputs(text.c_str(), f) >= 0;
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok || std::rename(part.c_str(), path.c_str()) != 0)
        std::fprintf(stderr, "sensormidi-synth: %s: %s\n", path.c_str(), std::strerror(errno));
}
