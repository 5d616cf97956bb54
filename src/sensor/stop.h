// Clean stop on SIGINT, SIGTERM and SIGHUP.
#pragma once

#include <csignal>

extern volatile sig_atomic_t stopsig;

void catchsignals();
[[noreturn]] void stopnow(int sig);
