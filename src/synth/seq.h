// MIDI in: an ALSA sequencer client with one writable port. It subscribes itself to
// card 1's virtual MIDI port, where the instrument plays, and to such a port when one
// appears later; any other client may connect too (aconnect).
#pragma once

#include <poll.h>

#include <string>

// The client named NAME; 0, or alsa-lib's error (said here).
int seq_open(const char *name);
int seq_fds(pollfd *fds, int space);
// Takes every event waiting: into the output thread's queue; the programs, when one
// changes, into STATEDIR (none when it is "").
void seq_read(const std::string &statedir);
