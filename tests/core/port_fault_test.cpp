// A real port that dies under the running panel: the whole panel (Form1 and
// its timers in virtual time, guarded as in the programs) over a
// HardwarePort whose ppdev device is faked on top of the simulated board,
// until the device starts failing every transfer with EIO, as an unplugged
// adaptor or a dying port does. The panel must not crash or hang, must keep
// ticking with the reads turned to 255, must say so in exactly one line, and
// Exit must still run to its end, its writes going nowhere.
#include "guard/guarded_port.h"
#include "panel/panel.h"
#include "support/virtual_timers.h"
#include "port/hardware_port.h"
#include "sim/clock.h"
#include "sim/sim_board.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

namespace korvel {
namespace {

constexpr const char* parport_dir = "/fake/proc/sys/dev/parport";
constexpr int device_fd = 7;

// /dev/parport0 at 0x378, its transfers carried to and from the simulated
// board, until it dies: from then on every transfer fails with EIO.
class DyingPpdev : public SystemCalls {
public:
    explicit DyingPpdev(sim::SimBoard& board) : board_(board) {}

    // The device dies at the next call of this request (PPWDATA or
    // PPRSTATUS), which is the first to fail.
    void die_at_next(unsigned long request) { die_at_ = request; }
    bool dead() const { return dead_; }
    int transfers_after_death = 0;  // transfers tried after the first failure
    int transfers = 0;

    int open_rw(const std::string& path) noexcept override
    {
        return path == "/dev/parport0" ? device_fd : -ENOENT;
    }
    int close(int) noexcept override { return 0; }
    int ioctl(int fd, unsigned long request, void* arg) noexcept override
    {
        if (fd != device_fd)
            return -EBADF;
        if (request == PPEXCL || request == PPRELEASE)
            return 0;
        if (request == PPCLAIM) {
            // The kernel's claim sets the control lines idle, twice.
            board_.Out32(0x37A, 12);
            board_.Out32(0x37A, 12);
            return 0;
        }
        ++transfers;
        if (dead_) {
            ++transfers_after_death;
            return -EIO;
        }
        if (request == die_at_) {
            dead_ = true;
            return -EIO;
        }
        auto* byte = static_cast<std::uint8_t*>(arg);
        switch (request) {
        case PPWDATA: board_.Out32(0x378, *byte); return 0;
        case PPWCONTROL: board_.Out32(0x37A, *byte); return 0;
        case PPRSTATUS: *byte = static_cast<std::uint8_t>(board_.Inp32(0x379)); return 0;
        case PPRDATA: *byte = static_cast<std::uint8_t>(board_.Inp32(0x378)); return 0;
        case PPRCONTROL: *byte = static_cast<std::uint8_t>(board_.Inp32(0x37A)); return 0;
        default: return -EINVAL;
        }
    }
    int ioperm(unsigned long, unsigned long, bool) noexcept override { return -EPERM; }
    std::uint8_t inb(std::uint16_t) noexcept override { return 255; }
    void outb(std::uint8_t, std::uint16_t) noexcept override {}
    std::optional<std::string> read_text(const std::string& path) override
    {
        if (path == std::string(parport_dir) + "/parport0/base-addr")
            return "888\t1912\n";
        return std::nullopt;
    }
    std::vector<std::string> list_dir(const std::string& path) override
    {
        if (path == parport_dir)
            return {"parport0"};
        return {};
    }
    std::optional<std::string> read_link(const std::string&) override { return std::nullopt; }

private:
    sim::SimBoard& board_;
    unsigned long die_at_ = 0;
    bool dead_ = false;
};

// What the panel reads, once the device has died.
class ReadTap : public Port {
public:
    ReadTap(Port& inner, const DyingPpdev& dev) : inner_(inner), dev_(dev) {}
    std::int16_t Inp32(std::int16_t address) override
    {
        const std::int16_t v = inner_.Inp32(address);
        if (dev_.dead()) {
            ++reads_after_death;
            if (v != 255)
                ++reads_not_255;
        }
        return v;
    }
    void Out32(std::int16_t address, std::int16_t value) override { inner_.Out32(address, value); }
    int reads_after_death = 0;
    int reads_not_255 = 0;

private:
    Port& inner_;
    const DyingPpdev& dev_;
};

class PortFault : public ::testing::Test {
protected:
    PortFault()
    {
        panel.beep = [this] { ++beeps; };
        panel.end_program = [this] { ++ends; };
        panel.load();
        panel.activate();
        panel.controls().power_button.fire();
        panel.controls().coarse_spin.set_value(12300);
        panel.controls().medium_spin.set_value(40);
        panel.controls().fine_spin.set_value(5);
    }

    // Runs the panel until the reading shows `text`, at most `limit_ms`.
    bool run_until_reading(const std::string& text, int limit_ms)
    {
        for (int ms = 0; ms < limit_ms && panel.controls().reading_box.text() != text; ms += 10)
            timers.run_for_ms(10);
        return panel.controls().reading_box.text() == text;
    }

    // The device dies at the next `request`; the panel runs on for `ms`.
    void die_and_run(unsigned long request, int ms)
    {
        ASSERT_TRUE(run_until_reading("+12345", 3000)) << panel.controls().reading_box.text();
        ASSERT_TRUE(lines.empty()) << lines.front();
        dev.die_at_next(request);
        ticks_at_death = timers.ticks(ControlId::sync_timer) + timers.ticks(ControlId::refresh_timer) + timers.ticks(ControlId::scan_timer);
        timers.run_for_ms(ms);
        ASSERT_TRUE(dev.dead()) << "the panel never used the request that fails";
    }

    void expect_one_line_about_the_failure()
    {
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("0x378"), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("/dev/parport0"), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find(std::strerror(EIO)), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("restart"), std::string::npos) << lines[0];
    }

    // The panel is still alive: its timers tick, and it reads 255.
    void expect_panel_runs_on()
    {
        const std::uint64_t ticks = timers.ticks(ControlId::sync_timer) + timers.ticks(ControlId::refresh_timer) + timers.ticks(ControlId::scan_timer);
        EXPECT_GT(ticks, ticks_at_death + 100) << "the panel stopped ticking";
        EXPECT_EQ(panel.power(), 1);
        EXPECT_GT(tap.reads_after_death, 100);
        EXPECT_EQ(tap.reads_not_255, 0);
        // The raw status on the Probe panel shows the floating bus.
        EXPECT_EQ(panel.controls().probe_status_box.text(), "FF");
        // A dead port is not tried again: one failed transfer, no retry storm.
        EXPECT_EQ(dev.transfers_after_death, 0);
    }

    void expect_exit_completes()
    {
        const int transfers = dev.transfers;
        panel.controls().exit_button.fire();
        EXPECT_TRUE(panel.ended());
        EXPECT_EQ(beeps, 1);
        EXPECT_EQ(ends, 1);
        EXPECT_EQ(panel.power(), 0);
        guarded.finish();
        EXPECT_EQ(registry.finished.load(), 1);
        EXPECT_EQ(dev.transfers, transfers) << "Exit's writes reached the dead device";
        timers.run_for_ms(1000);  // and nothing runs after the end
        EXPECT_EQ(dev.transfers, transfers);
        EXPECT_EQ(lines.size(), 1u);
    }

    sim::VirtualClock clock;
    sim::SimBoard board{clock};
    DyingPpdev dev{board};
    std::vector<std::string> lines;
    HardwarePort hardware{dev, HardwarePaths{"/fake/proc", "/dev", "/fake/sys"},
                          [this](std::string_view l) { lines.emplace_back(l); }};
    guard::Registry registry;
    guard::GuardedPort guarded{hardware, registry};
    ReadTap tap{guarded, dev};
    Panel panel{tap};
    VirtualTimers timers{panel.controls(), [this](std::int64_t ns) { clock.set_ns(ns); }};
    std::uint64_t ticks_at_death = 0;
    int beeps = 0;
    int ends = 0;
};

TEST_F(PortFault, DataWriteFailsInTheMiddleOfALatchWrite)
{
    die_and_run(PPWDATA, 5000);
    expect_one_line_about_the_failure();
    expect_panel_runs_on();
    expect_exit_completes();
}

TEST_F(PortFault, StatusReadFailsInTheMiddleOfAReading)
{
    die_and_run(PPRSTATUS, 5000);
    expect_one_line_about_the_failure();
    expect_panel_runs_on();
    expect_exit_completes();
}

TEST_F(PortFault, PowerCyclesAndModeChangesOnADeadPort)
{
    die_and_run(PPRSTATUS, 1000);
    for (const char* mode : {"DPC", "DVM", "ZEP"}) {
        panel.controls().mode_selector.select(mode);
        panel.controls().power_button.fire();  // OFF: the reset's safe-state write goes nowhere
        EXPECT_EQ(panel.power(), 0);
        timers.run_for_ms(500);
        panel.controls().power_button.fire();  // ON again
        timers.run_for_ms(2000);
    }
    expect_one_line_about_the_failure();
    expect_panel_runs_on();
    expect_exit_completes();
}

} // namespace
} // namespace korvel
