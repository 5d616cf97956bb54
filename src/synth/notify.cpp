#include "synth/notify.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

void notify(const std::string &text) {
    static int sock = -2;
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@') ||
        std::strlen(path) >= sizeof(sockaddr_un::sun_path))
        return;
    if (sock == -2) sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::strcpy(to.sun_path, path);
    if (path[0] == '@') to.sun_path[0] = '\0'; // an abstract socket's name
    socklen_t size = offsetof(sockaddr_un, sun_path) + std::strlen(path);
    sendto(sock, text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&to), size);
}
