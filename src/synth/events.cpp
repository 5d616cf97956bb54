#include "synth/events.h"

std::atomic<long> overruns, dropped;

namespace {

// A second of a MIDI wire's messages, 1000 a second at most, three times over.
constexpr unsigned RING = 4096;
Event ring[RING];
std::atomic<unsigned> head, tail; // taken at head, added at tail; they only grow

unsigned char byte(int value) {
    return static_cast<unsigned char>(value & 0x7F);
}
unsigned char chan(int value) {
    return static_cast<unsigned char>(value & 0x0F);
}

} // namespace

bool fromseq(const snd_seq_event_t &seq, Event &event) {
    const auto &note = seq.data.note;
    const auto &control = seq.data.control;
    switch (seq.type) {
    case SND_SEQ_EVENT_NOTEON:
        event = {NOTE_ON, chan(note.channel), byte(note.note), byte(note.velocity)};
        return true;
    case SND_SEQ_EVENT_NOTEOFF:
        event = {NOTE_OFF, chan(note.channel), byte(note.note), byte(note.velocity)};
        return true;
    case SND_SEQ_EVENT_KEYPRESS:
        event = {KEY_PRESSURE, chan(note.channel), byte(note.note), byte(note.velocity)};
        return true;
    case SND_SEQ_EVENT_CONTROLLER:
        if (control.param > 127) return false;
        event = {CONTROL_CHANGE, chan(control.channel), byte(static_cast<int>(control.param)),
                 byte(control.value)};
        return true;
    case SND_SEQ_EVENT_PGMCHANGE:
        event = {PROGRAM_CHANGE, chan(control.channel), byte(control.value), 0};
        return true;
    case SND_SEQ_EVENT_CHANPRESS:
        event = {CHANNEL_PRESSURE, chan(control.channel), 0, byte(control.value)};
        return true;
    case SND_SEQ_EVENT_PITCHBEND:
        // The sequencer's bend is -8192 to 8191; FluidSynth's, MIDI's 0 to 16383.
        if (control.value < -8192 || control.value > 8191) return false;
        event = {PITCH_BEND, chan(control.channel), 0, control.value + 8192};
        return true;
    default:
        return false;
    }
}

bool queueevent(const Event &event) {
    unsigned at = tail.load(std::memory_order_relaxed);
    if (at - head.load(std::memory_order_acquire) == RING) {
        dropped++;
        return false;
    }
    ring[at % RING] = event;
    tail.store(at + 1, std::memory_order_release);
    return true;
}

bool takeevent(Event &event) {
    unsigned at = head.load(std::memory_order_relaxed);
    if (at == tail.load(std::memory_order_acquire)) return false;
    event = ring[at % RING];
    head.store(at + 1, std::memory_order_release);
    return true;
}
