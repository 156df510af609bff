// The eight digital output bits Q7..Q0 of the low latch: one rule, eight
// buttons.
#include "panel/form1.h"

namespace korvel {

namespace {

constexpr std::uint32_t lamp_on = 0xFF8000;
constexpr std::uint32_t lamp_off = 0xE0E0E0;

} // namespace

void Form1::toggle_bit(int bit)
{
    if (bit < 0 || bit > 7)
        return;
    // Bit 0's lamp is Shape8 on the right, bit 7's is Shape1 on the left.
    Control* const lamps[8] = {&c.Shape8, &c.Shape7, &c.Shape6, &c.Shape5,
                               &c.Shape4, &c.Shape3, &c.Shape2, &c.Shape1};
    Control& lamp = *lamps[bit];
    int& state = st.q(bit);
    const int set_mask = 1 << bit;
    const int clear_mask = 255 - set_mask;
    if (state == 0 && st.power == 1) {
        lamp.set_colour(lamp_on);
        st.out_lo |= set_mask;
        state = 1;
    } else {
        // Switching a bit on needs the panel ON; off is always possible.
        lamp.set_colour(lamp_off);
        st.out_lo &= clear_mask;
        state = 0;
    }
}

} // namespace korvel
