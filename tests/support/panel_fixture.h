// A loaded panel over a recording port, with its timers in virtual time.
#pragma once

#include "panel/panel.h"
#include "support/recording_port.h"
#include "support/virtual_timers.h"

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
        f.load();
        f.activate();
    }

    void power() { c.power_button.fire(); }
    void mode(const char* m) { c.mode_selector.select(m); }
    void set_point(int coarse, int medium, int fine)
    {
        c.coarse_spin.set_value(coarse);
        c.medium_spin.set_value(medium);
        c.fine_spin.set_value(fine);
    }
    std::vector<PortAccess> writes() const { return port.writes(); }
    output::LatchWriter::State& out() { return f.output().state(); }
    dvm::VoltmeterReader::State& dvm() { return f.reader().state(); }

    RecordingPort port;
    Panel f{port};
    Controls& c = f.controls();
    VirtualTimers timers{c};
    int beeps = 0;
    int ends = 0;
};

} // namespace korvel
