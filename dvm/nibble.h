// Decoding of a masked status byte into a number.
#pragma once

#include <optional>

namespace korvel {

// m is a multiple of 16 from 0 to 240: a four-bit status group in bits 4..7
// (already corrected for the inverted bit 7), or a single bit 4, 5, 6 or 7.
// The group's hexadecimal numeral read as a decimal number, divided by ten:
// 0..9 for a BCD group, 1, 2, 4 or 8 for a single bit. A group holding 10..15
// has no decimal reading (nullopt).
constexpr std::optional<int> nibble_value(int m)
{
    const int n = (m >> 4) & 15;
    if (n > 9)
        return std::nullopt;
    return n;
}

} // namespace korvel
