// All variables of the panel, in one record owned by the main window.
#pragma once

#include <cstdint>
#include <string>

namespace korvel {

struct PanelState {
    // Register addresses, from the port selector.
    std::int16_t port_base = 0;
    std::int16_t port_status = 0;
    std::int16_t port_control = 0;

    // Control codes that select what the status lines carry.
    std::int16_t sel_digits = 8;
    std::int16_t sel_value = 12;
    std::int16_t sel_status = 0;

    // Output latch bytes and the set-point's sign.
    int out_lo = 0;
    int out_hi = 0;
    int out_sign = 0;

    // Control codes that strobe the latches, and the code after a strobe.
    int strobe_lo = 3;
    int strobe_hi = 1;
    int strobe_idle = 0;

    // Output bits Q7..Q0, 0 or 1 each.
    int q7 = 0, q6 = 0, q5 = 0, q4 = 0, q3 = 0, q2 = 0, q1 = 0, q0 = 0;

    // 1 while the panel is ON.
    int power = 0;

    // Synchronisation ticks that saw the conversion line low. Stops growing
    // at its ceiling instead of wrapping, so a hand-over stays possible.
    int sync_count = 0;

    // Leading pair of the last reading shown.
    int last_d5 = 0;
    int last_d4 = 0;
    // Readings the boundary filter discarded in a row since the last one
    // shown. A reading that keeps coming is real, not a glitch at the
    // boundary: after this many the next one is shown.
    int boundary_discards = 0;
    static constexpr int boundary_discard_limit = 3;

    // Sum of the spin controls; its magnitude after a composition in "ZEP".
    std::int16_t set_word = 0;

    // Voltmeter digits, d1 least significant, d5 the half digit.
    int d1 = 0, d2 = 0, d3 = 0, d4 = 0, d5 = 0;
    // Polarity text: "+" or "- ".
    std::string pol_sign = "+";
    // Per digit: 0 not read, 1 read with a changed value, 2 read twice alike.
    int seen_d1 = 0, seen_d2 = 0, seen_d3 = 0, seen_d4 = 0, seen_d5 = 0;

    // Whether the Port and Probe panels are open.
    int port_panel_open = 0;
    int probe_panel_open = 0;

    // The state field of output bit k (0..7).
    int& q(int bit);
};

} // namespace korvel
