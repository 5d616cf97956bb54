#include "synth/seq.h"

#include "synth/events.h"
#include "synth/state.h"
#include "synth/synth.h"

#include <alsa/asoundlib.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

snd_seq_t *seq;
int port;

// Card 1's virtual raw MIDI port (its client "Virtual Raw MIDI 1-0", its port "VirMIDI
// 1-0"), where the instrument writes; a port others may read from.
void follow(int client, int from) {
    snd_seq_client_info_t *info;
    snd_seq_port_info_t *pinfo;
    snd_seq_client_info_alloca(&info);
    snd_seq_port_info_alloca(&pinfo);
    if (snd_seq_get_any_client_info(seq, client, info) < 0 ||
        snd_seq_client_info_get_card(info) != 1 ||
        snd_seq_get_any_port_info(seq, client, from, pinfo) < 0)
        return;
    unsigned caps = snd_seq_port_info_get_capability(pinfo);
    const char *name = snd_seq_port_info_get_name(pinfo);
    if (std::strncmp(name, "VirMIDI", 7) != 0 ||
        (caps & (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ)) !=
            (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ))
        return;
    int err = snd_seq_connect_from(seq, port, client, from);
    if (err < 0 && err != -EBUSY) // -EBUSY: subscribed already
        std::printf("sensormidi-synth: cannot listen to %s: %s\n", name, snd_strerror(err));
}

void followall() {
    snd_seq_client_info_t *info;
    snd_seq_port_info_t *pinfo;
    snd_seq_client_info_alloca(&info);
    snd_seq_port_info_alloca(&pinfo);
    snd_seq_client_info_set_client(info, -1);
    while (snd_seq_query_next_client(seq, info) >= 0) {
        int client = snd_seq_client_info_get_client(info);
        snd_seq_port_info_set_client(pinfo, client);
        snd_seq_port_info_set_port(pinfo, -1);
        while (snd_seq_query_next_port(seq, pinfo) >= 0)
            follow(client, snd_seq_port_info_get_port(pinfo));
    }
}

void keep(const Event &event, const std::string &statedir) {
    if (event.kind != PROGRAM_CHANGE || programs[event.channel] == event.key) return;
    programs[event.channel] = event.key;
    savestate(statedir, "programs", formatprograms(programs));
}

} // namespace

int seq_open(const char *name) {
    int err = snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK);
    if (err >= 0) err = snd_seq_set_client_name(seq, name);
    if (err >= 0)
        err = port = snd_seq_create_simple_port(
            seq, name, SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_MIDI_GM |
                SND_SEQ_PORT_TYPE_SYNTHESIZER | SND_SEQ_PORT_TYPE_SOFTWARE |
                SND_SEQ_PORT_TYPE_APPLICATION);
    // Ports that start later are announced here.
    if (err >= 0)
        err = snd_seq_connect_from(seq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    if (err < 0) {
        std::printf("sensormidi-synth: cannot open the ALSA sequencer: %s\n", snd_strerror(err));
        return err;
    }
    followall();
    return 0;
}

int seq_fds(pollfd *fds, int space) {
    return snd_seq_poll_descriptors(seq, fds, space, POLLIN);
}

void seq_read(const std::string &statedir) {
    for (;;) {
        snd_seq_event_t *ev;
        int err = snd_seq_event_input(seq, &ev);
        if (err == -ENOSPC) {
            overruns++;
            continue;
        }
        if (err < 0) return; // -EAGAIN: nothing more for now
        Event event;
        // The note's arrival, on the clock its output is timed on: late by the thread's
        // wake-up after the kernel queued the event.
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (ev->type == SND_SEQ_EVENT_PORT_START) {
            follow(ev->data.addr.client, ev->data.addr.port);
        } else if (ev->type == SND_SEQ_EVENT_SYSEX) {
            synth_sysex(static_cast<const unsigned char *>(ev->data.ext.ptr),
                        static_cast<int>(ev->data.ext.len));
        } else if (fromseq(*ev, now.tv_sec * 1000000000LL + now.tv_nsec, event)) {
            if (queueevent(event)) keep(event, statedir);
        }
    }
}
