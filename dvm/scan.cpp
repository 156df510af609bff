// Scanning the converter's multiplexed digits, one sample per tick, and
// accepting a reading once every digit has been read twice alike.
#include "dvm/nibble.h"
#include "panel/form1.h"
#include "port/registers.h"

namespace korvel {

namespace {

// Stores a sample in a digit slot: 2 when it confirms the stored digit,
// otherwise the new digit with flag 1.
void sample_digit(int& digit, int& seen, int value)
{
    if (value == digit) {
        seen = 2;
    } else {
        digit = value;
        seen = 1;
    }
}

// A four-bit group from the status register, corrected for the inverted
// bit 7.
int group(std::int16_t status) { return (status & reg::st_nibble) ^ reg::st_inverted; }

} // namespace

void Form1::timer3_tick()
{
    // Digit strobe, then the value on the BCD lines.
    port_.Out32(st.port_control, st.sel_digits);
    const auto strobe = nibble_value(group(port_.Inp32(st.port_status)));
    if (!strobe)
        return; // D4 together with D2 or D3: no digit to store this tick
    c.Text4.set_text(std::to_string(*strobe));

    port_.Out32(st.port_control, st.sel_value);
    const auto value = nibble_value(group(port_.Inp32(st.port_status)));
    if (!value)
        return; // not a BCD code: the sample is dropped
    c.Text5.set_text(std::to_string(*value));

    switch (*strobe) {
    case 1: sample_digit(st.d1, st.seen_d1, *value); break;
    case 2: sample_digit(st.d2, st.seen_d2, *value); break;
    case 4: sample_digit(st.d3, st.seen_d3, *value); break;
    case 8: sample_digit(st.d4, st.seen_d4, *value); break;
    default: break; // no strobe, or several at once
    }

    port_.Out32(st.port_control, st.sel_status);
    const bool over = (port_.Inp32(st.port_status) & reg::st_over) != 0;
    c.Label1.set_visible(over);

    port_.Out32(st.port_control, st.sel_status);
    // The under-range line reads inverted: a clear bit shows the mark.
    const bool under_bit = (port_.Inp32(st.port_status) & reg::st_under) != 0;
    c.Label5.set_visible(!under_bit);

    get_d5();
    if (half_digit_unreadable_)
        return;

    // Acceptance.
    bool accepted = false;
    if (st.seen_d1 != 2 || st.seen_d2 != 2 || st.seen_d3 != 2 || st.seen_d4 != 2 ||
        st.seen_d5 != 2)
        return;

    // Boundary filter: a leading pair 00 or 19 right after a shown 10 or 09
    // is taken for a glitch at the 10000 boundary and discarded. A reading
    // that keeps coming is not a glitch: once the filter has discarded
    // boundary_discard_limit readings in a row, the next one is shown, so
    // the display cannot stay on an old value for good.
    const bool boundary = (st.d5 == 0 && st.d4 == 0 && st.last_d5 == 1 && st.last_d4 == 0) ||
                          (st.d5 == 1 && st.d4 == 9 && st.last_d5 == 1 && st.last_d4 == 0) ||
                          (st.d5 == 0 && st.d4 == 0 && st.last_d5 == 0 && st.last_d4 == 9) ||
                          (st.d5 == 1 && st.d4 == 9 && st.last_d5 == 0 && st.last_d4 == 9);
    const bool discard = boundary && st.boundary_discards < PanelState::boundary_discard_limit;
    if (discard) {
        ++st.boundary_discards;
    } else {
        accepted = true;
        st.boundary_discards = 0;
        d5_pol();
        show_reading();
        st.last_d5 = st.d5;
        st.last_d4 = st.d4;
    }

    // End of scan: back to synchronisation.
    c.Timer1.set_enabled(true);
    c.Timer3.set_enabled(false);
    st.seen_d1 = st.seen_d2 = st.seen_d3 = st.seen_d4 = st.seen_d5 = 0;
    if (accepted && reading_accepted)
        reading_accepted();
}

void Form1::get_d5()
{
    half_digit_unreadable_ = false;
    port_.Out32(st.port_control, st.sel_status);
    const int strobe5 = (port_.Inp32(st.port_status) & reg::st_d5) ? 1 : 0;
    int value5 = 0;
    if (strobe5 == 1) {
        port_.Out32(st.port_control, st.sel_value);
        const auto v = nibble_value(group(port_.Inp32(st.port_status)));
        if (!v) {
            // Not a BCD code: the half digit keeps its slot and the tick
            // ends without deciding on a reading.
            half_digit_unreadable_ = true;
            return;
        }
        value5 = *v;
    }
    if (value5 == 1 && strobe5 == 1 && st.d5 == 1) {
        st.seen_d5 = 2;
    } else if (value5 == 0 && strobe5 == 1 && st.d5 == 0) {
        st.seen_d5 = 2;
    } else {
        st.d5 = value5;
        st.seen_d5 = 1;
    }
}

void Form1::d5_pol()
{
    port_.Out32(st.port_control, st.sel_status);
    const bool positive = (port_.Inp32(st.port_status) & reg::st_polarity) != 0;
    st.pol_sign = positive ? "+" : "- ";
}

void Form1::show_reading()
{
    std::string text = st.pol_sign;
    for (int digit : {st.d5, st.d4, st.d3, st.d2, st.d1})
        text += static_cast<char>('0' + digit);
    c.dvm_reading.set_text(std::move(text));
}

} // namespace korvel
