// Feeds arbitrary bytes from the sensor port through the line reader and
// sound control, with alsa-lib and the clock replaced by the recording
// stand-ins (the one-second pause is instant), and checks every message.
//
// The first input byte picks a MIDI condition: bit 0 starts without an
// output, bit 1 fails the write numbered by the second byte with -ENODEV.
#include "midi/midi.h"
#include "midirecord.h"
#include "sensor/reader.h"
#include "sound/sound.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::set<int> NOTES = {60, 62, 64, 65, 67, 69, 71, 72};
const std::set<int> VELOCITIES = {0, 30, 40, 55, 60, 70, 100};
const std::set<int> PROGRAMS = {84, 101, 66, 104};

void check(bool ok, const char *what, const std::string &call) {
    if (ok) return;
    fprintf(stderr, "broken: %s at \"%s\"\n", what, call.c_str());
    abort();
}

std::vector<int> bytesof(const std::string &call) {
    std::istringstream in(call.substr(5));
    std::vector<int> bytes;
    std::string hex;
    while (in >> hex)
        bytes.push_back(static_cast<int>(strtol(hex.c_str(), nullptr, 16)));
    return bytes;
}

// Checks the recorded calls against what the instrument may send. With
// `ordered`, no write was lost, so the stream must also keep its order rules.
void checkcalls(bool ordered, const std::vector<std::string> &log) {
    int sounding = 0; // the note the synth was last told to start
    bool started = false;
    std::string previous, beforeprevious;
    for (const std::string &call : calls) {
        check(call.find('?') == std::string::npos, "call through a wrong handle", call);
        if (call.rfind("write", 0) == 0) {
            std::vector<int> b = bytesof(call);
            check(!b.empty(), "empty write", call);
            for (size_t i = 1; i < b.size(); i++)
                check(b[i] < 0x80, "data byte >= 0x80", call);
            switch (b[0]) {
            case 0x80:
                check(b.size() == 3 && b[2] == 0, "Note Off shape", call);
                check(NOTES.count(b[1]) || (b[1] == 0 && !started), "Note Off note", call);
                if (ordered) check(b[1] == sounding, "Note Off not for the current note", call);
                break;
            case 0x90:
                check(b.size() == 3, "Note On shape", call);
                check(NOTES.count(b[1]) && VELOCITIES.count(b[2]), "Note On values", call);
                if (ordered)
                    check(previous == "drain" && beforeprevious.rfind("write 80", 0) == 0,
                          "Note On without a Note Off before it", call);
                if (b[2] != 0) {
                    sounding = b[1];
                    started = true;
                }
                break;
            case 0xC0:
                check(b.size() == 2 && PROGRAMS.count(b[1]), "Program Change", call);
                break;
            default:
                check(false, "unknown status byte", call);
            }
        }
        beforeprevious = previous;
        previous = call;
    }
    if (!ordered) return;
    std::vector<std::string> played;
    for (const std::string &call : calls) {
        std::vector<int> b = call.rfind("write 90", 0) == 0 ? bytesof(call) : std::vector<int>{};
        if (!b.empty() && b[2] != 0) played.push_back(std::to_string(b[1]));
    }
    check(played == log, "note log differs from the Note Ons", "");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    freshstart();
    bool missing = data[0] & 1;
    if (missing) {
        midiOutHandle = nullptr;
        openresult = -ENOENT;
    }
    if (data[0] & 2) {
        failures.assign(data[1], 0);
        failures.push_back(-ENODEV);
    }

    char *printed = nullptr;
    size_t printedsize = 0;
    FILE *real = stdout;
    stdout = open_memstream(&printed, &printedsize);
    reader r{};
    for (size_t i = 2; i < size; i++) {
        if (takebyte(r, data[i])) process_sound(r.pitch, r.volume, r.sw);
        // Time runs fast, so that reopen tries happen within one input.
        fakems += 100;
    }
    fclose(stdout);
    stdout = real;
    check(r.pos >= 0 && r.pos <= 3 && r.text[3] == '\0', "field text overrun", "");

    std::vector<std::string> log;
    std::istringstream lines(std::string(printed, printedsize));
    for (std::string line; std::getline(lines, line);)
        log.push_back(line);
    free(printed);
    checkcalls(!missing && !(data[0] & 2), log);
    return 0;
}
