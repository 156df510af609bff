// The voltmeter's lines as the board presents them on the status register,
// for scripting the reader tick by tick.
#pragma once

#include <cstdint>

namespace korvel {

struct BoardLines {
    int strobes = 0;   // digit strobe lines D1..D4 as weights 1, 2, 4, 8
    int value = 0;     // BCD lines, 0..15
    bool d5 = false;   // half-digit strobe
    bool positive = true;
    bool over = false;
    bool under = false;
    bool conversion = true; // high while not integrating

    // The status byte read while the control register holds `control`.
    // Bits 0..2 float high; bit 7 reads the complement of its line.
    std::int16_t status(std::uint8_t control) const
    {
        int s = 0x07;
        switch (control & 0x0C) {
        case 0x08: s |= strobes << 4; break;
        case 0x0C: s |= value << 4; break;
        default:
            s |= (conversion ? 0x08 : 0) | (d5 ? 0x10 : 0) | (positive ? 0x20 : 0) |
                 (over ? 0x40 : 0) | (under ? 0x80 : 0);
            break;
        }
        return static_cast<std::int16_t>(s ^ 0x80);
    }
};

} // namespace korvel
