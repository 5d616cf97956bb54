#include "sensor/monitor.h"

#include "sound/sound.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>

namespace {

// "first-last", "N and below" or "N and above".
std::string band(int first, int last) {
    if (first == INT_MIN) return std::to_string(last) + " and below";
    if (last == INT_MAX) return std::to_string(first) + " and above";
    return std::to_string(first) + "-" + std::to_string(last);
}

std::string plays(int volume) {
    int v = velocity(volume);
    return v ? "velocity " + std::to_string(v) : "silent";
}

// Whether a line's text is three values of up to three digits, as the sketch sends them.
// By hand, not <regex>: that one header was a quarter of a Pi's build.
bool whole(const std::string &text) {
    char first[4], second[4], third[4];
    int end = -1;
    std::sscanf(text.c_str(), "%3[0-9],%3[0-9]|%3[0-9]%n", first, second, third, &end);
    return end >= 0 && (text.substr(end).empty() || text.substr(end) == "\r");
}

// The raw reading that the sketch scales to `scaled`, from its LOW, HIGH and RANGE (the
// inverse of its map(), rounded).
long unscaled(long scaled, long low, long high, long range) {
    return low + (scaled * (high - low) * 2 + (high > low ? range : -range)) / (2 * range);
}

} // namespace

bool monitorbyte(session &s, unsigned char c) {
    // The byte after a line end that the reader drops begins no line of its own.
    bool dropped = s.r.afterline && (c == '\n' || c == '\r');
    bool ended = takebyte(s.r, c);
    if (dropped) return false;
    if (!ended) {
        if (s.text.size() < 64) s.text += static_cast<char>(c);
        return false;
    }
    bool read = whole(s.text);
    s.text.clear();
    if (!read) {
        s.unread++;
        return false;
    }
    s.pitch = s.r.pitch, s.volume = s.r.volume;
    if (s.lines++ == 0) {
        s.lowpitch = s.highpitch = s.pitch;
        s.lowvolume = s.highvolume = s.volume;
    }
    s.lowpitch = std::min(s.lowpitch, s.pitch), s.highpitch = std::max(s.highpitch, s.pitch);
    s.lowvolume = std::min(s.lowvolume, s.volume), s.highvolume = std::max(s.highvolume, s.volume);
    if (s.r.sw != 0) s.presses++;
    return true;
}

std::string monitorline(const session &s, long lines, double seconds) {
    if (s.lines == 0) return "no line yet (" + std::to_string(s.unread) + " unread)";
    int first, last;
    noteband(s.pitch, first, last);
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f", seconds > 0 ? lines / seconds : 0.0);
    return "pitch " + std::to_string(s.pitch) + ": note " + std::to_string(note(s.pitch)) + " (" +
           band(first, last) + ") | volume " + std::to_string(s.volume) + ": " + plays(s.volume) +
           " | switch " + std::to_string(s.r.sw) + ", " + std::to_string(s.presses) +
           " presses | " + rate + " lines a second, " + std::to_string(s.unread) +
           " unread | seen: pitch " + std::to_string(s.lowpitch) + "-" +
           std::to_string(s.highpitch) + ", volume " + std::to_string(s.lowvolume) + "-" +
           std::to_string(s.highvolume);
}

scaling readsketch(const std::string &text) {
    scaling found;
    std::pair<const char *, long *> names[] = {
        {"PITCH_LOW", &found.pitchlow},     {"PITCH_HIGH", &found.pitchhigh},
        {"VOLUME_LOW", &found.volumelow},   {"VOLUME_HIGH", &found.volumehigh},
        {"PITCH_RANGE", &found.pitchrange}, {"VOLUME_RANGE", &found.volumerange}};
    for (auto [name, value] : names) {
        // The first "const long NAME = N;" that reads whole, N in a long's range.
        std::string key = std::string("const long ") + name + " = ";
        for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
            const char *from = text.data() + at + key.size(), *last = text.data() + text.size();
            long n;
            auto [end, error] = std::from_chars(from, last, n);
            if (error == std::errc() && end < last && *end == ';') {
                *value = n;
                break;
            }
        }
    }
    return found;
}

std::string monitorsummary(const session &s, double seconds, const scaling &now) {
    char head[160];
    std::snprintf(head, sizeof head,
                  "%ld lines in %.0f s (%.0f a second), %ld unread; %ld presses.\n", s.lines,
                  seconds, seconds > 0 ? s.lines / seconds : 0.0, s.unread, s.presses);
    if (s.lines == 0) return head;
    std::string out = head;
    out += "pitch " + std::to_string(s.lowpitch) + " to " + std::to_string(s.highpitch) +
           ": notes " + std::to_string(note(s.lowpitch)) + " to " +
           std::to_string(note(s.highpitch)) + ", of 60 to 72.\n";
    out += "volume " + std::to_string(s.lowvolume) + " to " + std::to_string(s.highvolume) + ": " +
           plays(s.lowvolume) + " to " + plays(s.highvolume) + ", of silent to velocity 100.\n";
    std::string paste;
    auto stretch = [&](const char *name, int low, int high, long rawlow, long rawhigh, long range) {
        if (low >= high) return;
        paste += std::string("const long ") + name +
                 "_LOW = " + std::to_string(unscaled(low, rawlow, rawhigh, range)) + ";\n" +
                 "const long " + name +
                 "_HIGH = " + std::to_string(unscaled(high, rawlow, rawhigh, range)) + ";\n";
    };
    if (s.lowpitch >= LOWEST_NOTE_BELOW || s.highpitch < HIGHEST_NOTE_FROM)
        stretch("PITCH", s.lowpitch, s.highpitch, now.pitchlow, now.pitchhigh, now.pitchrange);
    if (s.lowvolume > SILENCE_MAX || s.highvolume < LOUDEST_FROM)
        stretch("VOLUME", s.lowvolume, s.highvolume, now.volumelow, now.volumehigh,
                now.volumerange);
    if (paste.empty()) return out + "The hand reached the whole of both.\n";
    return out +
           "To stretch what the hand reached over the whole, put these in the sketch "
           "(firmware/sensor/sensor.ino) and flash it again:\n" +
           paste;
}
