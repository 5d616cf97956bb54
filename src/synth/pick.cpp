#include "synth/pick.h"

#include <dirent.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace {

// The first playback PCM of each card, and its first analog playback PCM.
struct Pcms {
    std::map<int, int> first, analog;
};

// /proc/asound/pcm: "CC-DD: id : name : playback N : capture N", the directions
// present only; a capture-only PCM (a webcam's microphone) plays nothing.
Pcms playback(const std::string &pcm) {
    Pcms found;
    std::istringstream lines(pcm);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 6 || line.find(" : playback ") == std::string::npos) continue;
        int card = std::atoi(line.substr(0, 2).c_str()), dev = std::atoi(line.substr(3, 2).c_str());
        size_t name = line.find(" : ");
        std::string title = line.substr(name + 3, line.find(" : ", name + 3) - name - 3);
        found.first.try_emplace(card, dev);
        if (title.find("Analog") != std::string::npos) found.analog.try_emplace(card, dev);
    }
    return found;
}

std::string read(const std::string &path) {
    std::ifstream f(path);
    std::ostringstream text;
    text << f.rdbuf();
    return text.str();
}

} // namespace

Pick pickoutput(const std::string &cards, const std::string &pcm, const std::set<int> &displays) {
    Pcms pcms = playback(pcm);
    std::map<int, std::string> best; // class -> device
    Pick pick;
    std::istringstream lines(cards);
    // /proc/asound/cards: " N [id             ]: driver - short name", then the long name.
    for (std::string line; std::getline(lines, line);) {
        size_t open = line.find(" ["), close = line.find("]: "), dash = line.find(" - ");
        if (open == std::string::npos || close == std::string::npos || dash == std::string::npos ||
            line.find_first_not_of(' ') == open ||
            line.find_first_not_of(" 0123456789") != open + 1)
            continue;
        int n = std::atoi(line.c_str());
        std::string id = line.substr(open + 2, close - open - 2);
        id.erase(id.find_last_not_of(' ') + 1);
        std::string driver = line.substr(close + 3, dash - close - 3);
        std::string shortname = line.substr(dash + 3);
        pick.found +=
            (pick.found.empty() ? "" : ", ") + std::to_string(n) + " " + id + " (" + driver + ")";
        if (!pcms.first.count(n)) continue;
        std::string dev = std::to_string(pcms.first[n]);
        int rank = 0;
        std::string device;
        if (driver == "USB-Audio" || shortname.rfind("snd_rpi_", 0) == 0) {
            rank = 1, device = "plughw:CARD=" + id + ",DEV=" + dev;
        } else if (driver.rfind("bcm2835", 0) == 0 && driver.find("hdmi") == std::string::npos) {
            rank = 2, device = "plughw:CARD=" + id + ",DEV=" + dev;
        } else if (driver == "HDA-Intel" && pcms.analog.count(n)) {
            rank = 2, device = "plughw:CARD=" + id + ",DEV=" + std::to_string(pcms.analog[n]);
        } else if (driver == "vc4-hdmi") {
            // vc4hdmi1 is the second connector. Its samples are IEC958 subframes, which
            // plughw cannot make: hdmi can.
            int connector = !id.empty() && isdigit(static_cast<unsigned char>(id.back()))
                                ? id.back() - '0' + 1
                                : 1;
            if (displays.count(connector)) rank = 3, device = "hdmi:CARD=" + id;
        }
        if (rank) best.try_emplace(rank, device);
    }
    if (!best.empty()) pick.device = best.begin()->second;
    if (pick.found.empty()) pick.found = "none";
    return pick;
}

Pick pickfrom(const std::string &asound, const std::string &drm) {
    std::set<int> displays;
    if (DIR *dir = opendir(drm.c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            size_t at = name.find("-HDMI-A-");
            if (name.rfind("card", 0) != 0 || at == std::string::npos) continue;
            if (read(drm + "/" + name + "/status") == "connected\n")
                displays.insert(std::atoi(name.c_str() + at + 8));
        }
        closedir(dir);
    }
    return pickoutput(read(asound + "/cards"), read(asound + "/pcm"), displays);
}

bool repicks(const std::string &subsystem, const std::string &action, const std::string &name) {
    // A card's "change" comes once all its devices are there; its "add", before.
    if (subsystem == "sound")
        return name.rfind("card", 0) == 0 && (action == "change" || action == "remove");
    return subsystem == "drm" && action == "change";
}
