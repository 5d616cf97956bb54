#include "synth/events.h"

#include "synth/ring.h"

std::atomic<long> overruns, dropped;

namespace {

// A second of a MIDI wire's messages, 1000 a second at most, four times over.
Ring<Event, 4096> queue;

unsigned char byte(int value) {
    return static_cast<unsigned char>(value & 0x7F);
}
unsigned char chan(int value) {
    return static_cast<unsigned char>(value & 0x0F);
}

} // namespace

bool fromseq(const snd_seq_event_t &seq, long long arrival, Event &event) {
    const auto &note = seq.data.note;
    const auto &control = seq.data.control;
    switch (seq.type) {
    case SND_SEQ_EVENT_NOTEON:
        event = {NOTE_ON, chan(note.channel), byte(note.note), byte(note.velocity), arrival};
        return true;
    case SND_SEQ_EVENT_NOTEOFF:
        event = {NOTE_OFF, chan(note.channel), byte(note.note), byte(note.velocity), arrival};
        return true;
    case SND_SEQ_EVENT_KEYPRESS:
        event = {KEY_PRESSURE, chan(note.channel), byte(note.note), byte(note.velocity), arrival};
        return true;
    case SND_SEQ_EVENT_CONTROLLER:
        if (control.param > 127) return false;
        event = {CONTROL_CHANGE, chan(control.channel), byte(static_cast<int>(control.param)),
                 byte(control.value), arrival};
        return true;
    case SND_SEQ_EVENT_PGMCHANGE:
        event = {PROGRAM_CHANGE, chan(control.channel), byte(control.value), 0, arrival};
        return true;
    case SND_SEQ_EVENT_CHANPRESS:
        event = {CHANNEL_PRESSURE, chan(control.channel), 0, byte(control.value), arrival};
        return true;
    case SND_SEQ_EVENT_PITCHBEND:
        // The sequencer's bend is -8192 to 8191; FluidSynth's, MIDI's 0 to 16383.
        if (control.value < -8192 || control.value > 8191) return false;
        event = {PITCH_BEND, chan(control.channel), 0, control.value + 8192, arrival};
        return true;
    default:
        return false;
    }
}

bool queueevent(const Event &event) {
    if (queue.push(event)) return true;
    dropped++;
    return false;
}

bool takeevent(Event &event) {
    return queue.pop(event);
}
