// The three MIDI messages the instrument sends, all on channel 1.
// Each is built whole so it goes out in one write, without running status.
#pragma once

#include <array>

enum : unsigned char {
    NOTE_OFF = 0x80,
    NOTE_ON = 0x90,
    PROGRAM_CHANGE = 0xC0,
};

// Data values go out as the low byte of their integer.
constexpr unsigned char databyte(int value) {
    return static_cast<unsigned char>(value);
}

constexpr std::array<unsigned char, 3> noteoffmsg(int note) {
    return {NOTE_OFF, databyte(note), 0x00};
}

constexpr std::array<unsigned char, 3> noteonmsg(int note, int velocity) {
    return {NOTE_ON, databyte(note), databyte(velocity)};
}

constexpr std::array<unsigned char, 2> programmsg(int program) {
    return {PROGRAM_CHANGE, databyte(program)};
}
