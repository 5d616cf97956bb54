#include "sensor/holder.h"

#include <dirent.h>
#include <fstream>
#include <unistd.h>

std::string holders(const std::string &path) {
    std::string found;
    DIR *proc = opendir("/proc");
    if (!proc) return found;
    while (dirent *p = readdir(proc)) {
        std::string pid = p->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        DIR *fds = opendir(("/proc/" + pid + "/fd").c_str());
        if (!fds) continue; // another user's, or gone
        bool holds = false;
        while (dirent *f = readdir(fds)) {
            char target[256];
            ssize_t n =
                readlink(("/proc/" + pid + "/fd/" + f->d_name).c_str(), target, sizeof target - 1);
            holds = holds || (n > 0 && path == std::string(target, static_cast<size_t>(n)));
        }
        closedir(fds);
        if (!holds) continue;
        std::string name;
        std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
        found += (found.empty() ? "" : ", ") + name + " (pid " + pid + ")";
    }
    closedir(proc);
    return found;
}
