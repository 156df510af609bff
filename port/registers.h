// Register map of the board on the parallel port: register offsets, the codes
// written to the control register and the masks of the status bits read.
#pragma once

#include <cstdint>

namespace korvel::reg {

// Offsets from the port base address.
constexpr int data_offset = 0;     // data register: bytes for the output latches
constexpr int status_offset = 1;   // status register: read only
constexpr int control_offset = 2;  // control register: strobes and line selection

// A base address with its three registers fits in a group of four aligned
// addresses, so any register address names its base as (address & ~3).
constexpr int base_of(int address) { return address & ~3; }
constexpr int offset_of(int address) { return address & 3; }

// Control codes. Only these five values are ever written; bits 4..7 stay 0.
// Control bits 0, 1 and 3 drive their connector lines inverted by the port
// hardware and bit 2 drives its line directly; the codes go to the register
// as they stand and the board is wired for that.
constexpr std::uint8_t ctl_strobe_lo = 3;   // low output latch takes the data byte
constexpr std::uint8_t ctl_strobe_hi = 1;   // high output latch takes the data byte
constexpr std::uint8_t ctl_idle = 0;        // strobe ended; status carries the single lines
constexpr std::uint8_t ctl_sel_status = 0;  // same code as ctl_idle
constexpr std::uint8_t ctl_sel_digits = 8;  // status bits 4..7 carry digit strobes D1..D4
constexpr std::uint8_t ctl_sel_value = 12;  // status bits 4..7 carry the BCD value; safe state

// Bits 2 and 3 of the control code choose what the status lines carry.
constexpr std::uint8_t ctl_select_mask = 0x0C;
// Bidirectional-mode bit of the standard control register: never set, so the
// data lines always drive.
constexpr std::uint8_t ctl_direction_bit = 0x20;

// Status masks.
constexpr std::uint8_t st_conversion = 0x08;  // under code 0: conversion line (high = not integrating)
constexpr std::uint8_t st_nibble = 0xF0;      // under code 8 or 12: four-bit group
constexpr std::uint8_t st_d5 = 0x10;          // under code 0: half-digit strobe
constexpr std::uint8_t st_polarity = 0x20;    // under code 0: polarity, set = positive
constexpr std::uint8_t st_over = 0x40;        // under code 0: over-range
constexpr std::uint8_t st_under = 0x80;       // under code 0: under-range, read inverted
// Status bit 7 reads the complement of its connector line (port hardware);
// four-bit groups are XORed with this before decoding.
constexpr std::uint8_t st_inverted = 0x80;

// The safe state: this byte in the low latch, then this code left on the
// control register.
constexpr std::uint8_t safe_data = 255;
constexpr std::uint8_t safe_control = ctl_sel_value;

// Port bases offered by the port selector.
constexpr int base_378 = 0x378;
constexpr int base_278 = 0x278;
constexpr int base_3bc = 0x3BC;

} // namespace korvel::reg
