// systemd's notify protocol: one datagram of "NAME=value" lines to $NOTIFY_SOCKET.
// Without the variable (not a unit of systemd's), nothing is sent.
#pragma once

#include <string>

void notify(const std::string &text);
