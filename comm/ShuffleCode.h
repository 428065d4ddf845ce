#pragma once
// The device side's values of the ID-shuffle instruction: the two-byte code
// that opens its parameters, the sub-commands, and the keystream that hides the
// identification bytes of each answer. The simulated bus scrambles with these.

#include <QtGlobal>

namespace shuffle {

constexpr quint8 kInstruction = 0xC4;
constexpr quint8 kCodeLow = 0x5A; // the two code bytes, in the order they are sent
constexpr quint8 kCodeHigh = 0xC3;
constexpr quint8 kQuery = 0x21;    // sub-command of the shuffle ping
constexpr quint8 kReassign = 0x22; // sub-command of the shuffle ID

// Keystream: the state starts as kStateBase | seed; each byte is XORed with the
// state's high byte, then state := (state + scrambled byte) * kMultiplier +
// kIncrement, modulo 2^16.
constexpr quint16 kStateBase = 0xA500;
constexpr quint16 kMultiplier = 0x2F1D;
constexpr quint16 kIncrement = 0x1B57;

} // namespace shuffle
