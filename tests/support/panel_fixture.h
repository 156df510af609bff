// A loaded panel over a recording port, with its timers in virtual time.
#pragma once

#include "panel/form1.h"
#include "panel/virtual_timers.h"
#include "port/recording_port.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace korvel {

inline void PrintTo(const PortAccess& a, std::ostream* os) { *os << to_string(a); }

constexpr std::int16_t data378 = 0x378, status378 = 0x379, control378 = 0x37A;

// The writes of the safe state on the port at 0x378.
inline std::vector<PortAccess> safe_state_378()
{
    return {wr(data378, 255), wr(control378, 3), wr(control378, 0), wr(control378, 12)};
}

class PanelTest : public ::testing::Test {
protected:
    PanelTest()
    {
        f.beep = [this] { ++beeps; };
        f.end_program = [this] { ++ends; };
        f.form_load();
        f.form_activate();
    }

    void power() { f.c.Command9.fire(); }
    void mode(const char* m) { f.c.Combo2.select(m); }
    void set_point(int coarse, int medium, int fine)
    {
        f.c.VScroll1.set_value(coarse);
        f.c.VScroll2.set_value(medium);
        f.c.VScroll3.set_value(fine);
    }
    std::vector<PortAccess> writes() const { return port.writes(); }

    RecordingPort port;
    Form1 f{port};
    VirtualTimers timers{f.c};
    int beeps = 0;
    int ends = 0;
};

} // namespace korvel
