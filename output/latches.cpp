// Strobed writes into the board's two output latches and their refresh.
#include "panel/form1.h"
#include "port/strobe.h"

#include <cstdint>

namespace korvel {

void Form1::update_output()
{
    port_.Out32(st.port_base, static_cast<std::int16_t>(st.out_lo));
    port_.Out32(st.port_control, static_cast<std::int16_t>(st.strobe_lo));
    strobe_delay();
    port_.Out32(st.port_control, static_cast<std::int16_t>(st.strobe_idle));
    c.Text7.set_text(hex(st.out_lo));
}

void Form1::update_output_hi()
{
    port_.Out32(st.port_base, static_cast<std::int16_t>(st.out_hi));
    port_.Out32(st.port_control, static_cast<std::int16_t>(st.strobe_hi));
    strobe_delay();
    port_.Out32(st.port_control, static_cast<std::int16_t>(st.strobe_idle));
    // The sign bit is not shown.
    c.Text10.set_text(hex(st.out_hi & 127));
}

void Form1::timer2_tick()
{
    if (c.Combo2.text() == "DPC")
        update_output();
    if (c.Combo2.text() == "ZEP") {
        update_output();
        update_output_hi();
    }
}

} // namespace korvel
