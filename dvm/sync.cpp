// Waiting for the end of a conversion before a digit scan.
#include "panel/form1.h"
#include "port/registers.h"

#include <climits>

namespace korvel {

void Form1::timer1_tick()
{
    port_.Out32(st.port_control, st.sel_status);
    c.Text6.set_text(hex(port_.Inp32(st.port_status) & 255));
    const int line = port_.Inp32(st.port_status) & reg::st_conversion;
    if (line == 0) {
        if (st.sync_count < INT_MAX)
            ++st.sync_count;
        c.Shape9.set_colour(0xFF0000);
    } else {
        c.Shape9.set_colour(0x000080);
    }
    if (line != 0 && st.sync_count > 10) {
        st.sync_count = 0;
        c.Timer3.set_enabled(true);
        c.Timer1.set_enabled(false);
    }
}

} // namespace korvel
