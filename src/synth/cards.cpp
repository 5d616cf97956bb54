#include "synth/cards.h"

#include "synth/output.h"
#include "synth/pick.h"

#include <libudev.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {
udev_monitor *monitor;
std::string text(const char *value) {
    return value ? value : "";
}
} // namespace

int cards_open() {
    udev *u = udev_new();
    monitor = u ? udev_monitor_new_from_netlink(u, "udev") : nullptr;
    if (!monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "sound", nullptr) < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "drm", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        std::printf("sensormidi-synth: no events from udev; cards that come and go are looked "
                    "for every 2 s instead\n");
        return -1;
    }
    return udev_monitor_get_fd(monitor);
}

bool cards_event() {
    udev_device *dev = udev_monitor_receive_device(monitor);
    if (!dev) return false;
    std::string subsystem = text(udev_device_get_subsystem(dev));
    std::string action = text(udev_device_get_action(dev));
    std::string name = text(udev_device_get_sysname(dev));
    udev_device_unref(dev);
    return repicks(subsystem, action, name);
}

bool cardsleep(long long ms, bool cards) {
    std::unique_lock<std::mutex> lock(cardlock);
    return cardwake.wait_for(lock, std::chrono::milliseconds(ms),
                             [cards] { return (cards && cardschanged) || stopping; });
}
