// Every port the kernel runs, not only the three motherboard addresses: the
// port selector's items from the kernel's table, the panel's traffic on a
// PCI card's base through its /dev/parportN, the address forms a user may
// give, the listing of the kernel's ports, and the watchdog at such a base.
#include "guard/guarded_port.h"
#include "guard/watchdog.h"
#include "panel/panel.h"
#include "port/hardware_port.h"
#include "port/port_address.h"
#include "port/text.h"
#include "support/recording_port.h"
#include "support/fake_system.h"
#include "support/panel_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel {
namespace {

// The kernel's table under a temporary /proc: parportN at each base.
class KernelTable : public ::testing::Test {
protected:
    void ports(const std::vector<unsigned>& bases)
    {
        for (std::size_t n = 0; n < bases.size(); ++n) {
            tree.write("proc/sys/dev/parport/parport" + std::to_string(n) + "/base-addr",
                       std::to_string(bases[n]) + "\t" + std::to_string(bases[n] + 0x400) + "\n");
            sys.devices["/dev/parport" + std::to_string(n)].status = 0x98;
        }
        sys.proc_root = paths().proc;
    }
    HardwarePaths paths() const
    {
        return {(tree.root / "proc").string(), "/dev", (tree.root / "sys").string()};
    }
    std::vector<unsigned> kernel_bases()
    {
        std::vector<unsigned> b;
        for (const auto& p : list_parports(sys, paths().proc + "/sys/dev/parport"))
            b.push_back(p.base);
        return b;
    }

    TempTree tree;
    FakeSystem sys;
};

// --- the selector ------------------------------------------------------------

TEST_F(KernelTable, TheSelectorOffersTheDesignsThreeThenEveryOtherKernelPort)
{
    const std::vector<std::string> three = {"&H378", "&H278", "&H3BC"};
    struct Case {
        const char* name;
        std::vector<unsigned> kernel;
        unsigned start;
        std::vector<std::string> added;
    };
    const std::vector<Case> cases = {
        {"motherboard and a PCI card", {0x378, 0xD010}, 0x378, {"&HD010"}},
        {"only a PCI card", {0xE000}, 0x378, {"&HE000"}},
        {"none", {}, 0x378, {}},
        {"ascending, once each", {0xE000, 0x278, 0xD010, 0xE000}, 0x378, {"&HD010", "&HE000"}},
        {"a start port the kernel does not run", {0xE000}, 0xC800, {"&HC800", "&HE000"}},
        {"the top of the I/O space", {0xFFF8}, 0x378, {"&HFFF8"}},
        {"no port base: left out", {0xD011, 0xFFFE, 0}, 0x378, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingPort port;
        Panel f(port, PortOffer{c.kernel, c.start});
        auto expected = three;
        expected.insert(expected.end(), c.added.begin(), c.added.end());
        EXPECT_EQ(f.controls().port_selector.items(), expected);
        f.load();
        EXPECT_EQ(f.controls().port_selector.text(), "&H" + hex(static_cast<int>(c.start)));
    }
}

// --- traffic on a PCI card's base ---------------------------------------------

// A port that logs each access as the panel makes it and passes it on.
class Tap : public Port {
public:
    explicit Tap(Port& inner) : inner_(inner) {}
    std::int16_t Inp32(std::int16_t address) override
    {
        const std::int16_t v = inner_.Inp32(address);
        log.push_back(rd(address, v));
        return v;
    }
    void Out32(std::int16_t address, std::int16_t value) override
    {
        log.push_back(wr(address, value));
        inner_.Out32(address, value);
    }
    std::vector<PortAccess> log;

private:
    Port& inner_;
};

// Start, power ON in mode ZEP with a set-point, one refresh, one
// synchronisation tick and one scan tick, a refresh in mode DPC, power OFF,
// Exit.
void drive(Panel& f)
{
    f.load();
    f.activate();
    f.controls().power_button.fire();
    f.controls().coarse_spin.set_value(12300);
    f.on_refresh_tick();
    f.on_sync_tick();
    f.on_scan_tick();
    f.controls().mode_selector.select("DPC");
    f.toggle_bit(5);
    f.on_refresh_tick();
    f.controls().power_button.fire();
    f.controls().exit_button.fire();
}

std::int16_t at(unsigned address) { return static_cast<std::int16_t>(address); }

TEST_F(KernelTable, APciCardsBaseGetsTheSameTrafficThroughItsOwnDevice)
{
    // The same panel at 0x378 on a recording port: the traffic of record.
    RecordingPort reference;
    reference.fallback = 0x98;
    Panel r(reference);
    drive(r);

    for (unsigned base : {0xD010u, 0xFFF8u}) {
        SCOPED_TRACE(base);
        fs::remove_all(tree.root);
        sys = FakeSystem{};
        ports({0x378, base});
        HardwarePort hardware(sys, paths(), [](std::string_view) {});
        Tap tap(hardware);
        Panel f(tap, PortOffer{kernel_bases(), base});
        drive(f);

        EXPECT_EQ(f.controls().data_address_box.text(), "0x" + hex(static_cast<int>(base)));
        EXPECT_EQ(f.controls().status_address_box.text(), "0x" + hex(static_cast<int>(base + 1)));
        EXPECT_EQ(f.controls().control_address_box.text(), "0x" + hex(static_cast<int>(base + 2)));

        // The start: the safe state on the chosen port first.
        const std::int16_t b = at(base), c = at(base + 2);
        ASSERT_GE(tap.log.size(), 4u);
        EXPECT_EQ(std::vector<PortAccess>(tap.log.begin(), tap.log.begin() + 4),
                  (std::vector<PortAccess>{wr(b, 255), wr(c, 3), wr(c, 0), wr(c, 12)}));
        // Then access for access what the panel does at 0x378, moved.
        ASSERT_EQ(tap.log.size(), reference.log.size());
        for (std::size_t i = 0; i < tap.log.size(); ++i) {
            PortAccess moved = reference.log[i];
            moved.address = at(static_cast<std::uint16_t>(moved.address) - 0x378 + base);
            ASSERT_EQ(tap.log[i], moved) << "access " << i;
        }

        // Every access went through /dev/parport1, one ioctl each, after
        // the one exclusive claim; /dev/parport0 was never opened.
        EXPECT_EQ(sys.closed, std::vector<std::string>{});
        ASSERT_EQ(sys.open_fds.size(), 1u);
        EXPECT_EQ(sys.open_fds.begin()->second, "/dev/parport1");
        ASSERT_EQ(sys.calls.size(), tap.log.size() + 2);
        EXPECT_EQ(sys.calls[0].request, static_cast<unsigned long>(PPEXCL));
        EXPECT_EQ(sys.calls[1].request, static_cast<unsigned long>(PPCLAIM));
        for (std::size_t i = 0; i < tap.log.size(); ++i) {
            const PortAccess& a = tap.log[i];
            const Call& call = sys.calls[i + 2];
            const int offset = static_cast<std::uint16_t>(a.address) - base;
            const unsigned long request = a.kind == PortAccess::Read ? PPRSTATUS
                                          : offset == 0            ? PPWDATA
                                                                   : PPWCONTROL;
            ASSERT_EQ(call.request, request) << "access " << i;
            ASSERT_EQ(call.byte, a.value) << "access " << i;
        }
    }
}

// --- addresses as a user gives them ---------------------------------------------

TEST_F(KernelTable, PortAddressesInEveryAcceptedForm)
{
    ports({0x378, 0xD010});
    struct Case {
        const char* text;
        std::optional<unsigned> base;
        const char* problem;
    };
    std::vector<Case> cases = {
        {"0xD010", 0xD010, ""}, {"0XD010", 0xD010, ""}, {"&HD010", 0xD010, ""},
        {"&hd010", 0xD010, ""}, {"53264", 0xD010, ""},  {"0x0378", 0x378, ""},
        {"0xFFFC", 0xFFFC, ""}, {"/dev/parport1", 0xD010, ""},
        {"/dev/parport2", {}, "the kernel runs no parport2"},
        {"0xD011", {}, "not a port base address"}, {"0", {}, "not a port base address"},
        {"0xFFFE", {}, "not a port base address"},
    };
    for (const char* bad : {"/dev/parportx", "0x10000", "99999999999999999999", "", "0x", "&H",
                            "-888", "+888", "0x-378", " 888", "888 ", "0x378h", "D010", "lpt1"})
        cases.push_back({bad, {}, "not an address"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const PortAddress a = parse_port_address(c.text, sys, paths());
        EXPECT_EQ(a.base, c.base);
        EXPECT_NE(a.problem.find(c.problem), std::string::npos) << a.problem;
        EXPECT_EQ(a.problem.find('\n'), std::string::npos);
    }
}

// --- the listing ----------------------------------------------------------------

TEST_F(KernelTable, TheListingSaysOfEachPortWhetherItCanBeUsed)
{
    struct Case {
        const char* name;
        std::function<void()> setup;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"usable", [] {},
         {"/dev/parport0  0x378  (ppdev: usable)", "/dev/parport1  0xD010  (ppdev: usable)"}},
        {"lp printer driver",
         [&] { tree.write("proc/sys/dev/parport/parport0/devices/lp/timeslice", "200\n"); },
         {"/dev/parport0  0x378  (busy: held by the lp printer driver)",
          "/dev/parport1  0xD010  (ppdev: usable)"}},
        {"another korvel",
         [&] {
             tree.write("proc/sys/dev/parport/parport1/devices/ppdev1/timeslice", "200\n");
             tree.write("proc/sys/dev/parport/parport1/devices/active", "ppdev1\n");
             tree.link("proc/812/fd/4", "/dev/parport1");
             tree.write("proc/812/comm", "korvel\n");
         },
         {"/dev/parport0  0x378  (ppdev: usable)",
          "/dev/parport1  0xD010  (busy: held by korvel (pid 812))"}},
        {"permission denied", [&] { sys.devices["/dev/parport1"].open_error = EACCES; },
         {"/dev/parport0  0x378  (ppdev: usable)",
          "/dev/parport1  0xD010  (permission denied: add yourself to group lp)"}},
        {"ppdev not loaded", [&] { sys.devices.erase("/dev/parport0"); },
         {"/dev/parport0  0x378  (no usable /dev/parport0: load ppdev ('modprobe ppdev'))",
          "/dev/parport1  0xD010  (ppdev: usable)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(tree.root);
        sys = FakeSystem{};
        ports({0x378, 0xD010});
        c.setup();
        EXPECT_EQ(list_ports(sys, paths()), c.lines);
        // Opened to learn of access, closed at once, never claimed or written.
        EXPECT_TRUE(sys.open_fds.empty());
        EXPECT_TRUE(sys.calls.empty());
    }

    fs::remove_all(tree.root);
    sys = FakeSystem{};
    const auto none = list_ports(sys, paths());
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].rfind("no parallel ports: ", 0), 0u);
    EXPECT_NE(none[0].find("modprobe -a parport_pc ppdev"), std::string::npos);
}

// An address the kernel does not run is an absent port: even where direct
// I/O is allowed, it is used only at the motherboard addresses.
TEST_F(KernelTable, NoDirectIoAwayFromTheMotherboardAddresses)
{
    ports({0x378});
    sys.ioperm_result = 0;
    std::vector<std::string> said;
    HardwarePort port(sys, paths(), [&](std::string_view l) { said.emplace_back(l); });
    port.Out32(at(0xE000), 1);
    port.Out32(at(0xE002), 12);
    EXPECT_EQ(port.Inp32(at(0xE001)), 255);
    EXPECT_EQ(port.backend_for(0xE000), PortBackend::Absent);
    EXPECT_TRUE(sys.ioperm_calls.empty());
    EXPECT_TRUE(sys.outs.empty());
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], "korvel: port 0xE000: no parallel port at this address (the kernel has "
                       "ports at 0x378 only, direct I/O only at 0x378, 0x278 and 0x3BC); choose "
                       "another port");
}

// --- the watchdog at a PCI card's base -----------------------------------------

// What the fake kernel's devices received, in memory the watchdog shares.
struct SharedLog {
    static constexpr int size = 256;
    struct Entry {
        int pid;
        char device[16];
        unsigned long request;
        int byte;
    };
    std::atomic<int> count{0};
    std::atomic<int> live{0};  // set by the panel once its board is live
    Entry entries[size];
};

// The fake kernel's writes, also into the shared log.
class SharedKernel : public FakeSystem {
public:
    explicit SharedKernel(SharedLog& log) : log_(log) {}
    int ioctl(int fd, unsigned long request, void* arg) noexcept override
    {
        const int i = request == PPWDATA || request == PPWCONTROL ? log_.count.fetch_add(1) : -1;
        if (i >= 0 && i < SharedLog::size) {
            SharedLog::Entry& e = log_.entries[i];
            e = {getpid(), {}, request, *static_cast<std::uint8_t*>(arg)};
            open_fds.at(fd).copy(e.device, sizeof e.device - 1);
        }
        return FakeSystem::ioctl(fd, request, arg);
    }

private:
    SharedLog& log_;
};

TEST_F(KernelTable, AKilledPanelsCardIsPutIntoTheSafeStateByTheWatchdog)
{
    ports({0x378, 0xD010});
    auto* log = new (mmap(nullptr, sizeof(SharedLog), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0)) SharedLog;
    auto* registry = new (mmap(nullptr, sizeof(guard::Registry), PROT_READ | PROT_WRITE,
                               MAP_SHARED | MAP_ANONYMOUS, -1, 0)) guard::Registry;
    const HardwarePaths paths = this->paths();

    // The panel, started on 0xD010, ON in mode ZEP with a set-point, killed.
    const pid_t panel = fork();
    ASSERT_GE(panel, 0);
    if (panel == 0) {
        static SharedKernel kernel(*log);
        kernel.devices = sys.devices;
        const pid_t guard = guard::start_watchdog(*registry, [&paths]() -> std::unique_ptr<Port> {
            return std::make_unique<HardwarePort>(kernel, paths, [](std::string_view) {});
        });
        if (guard < 0)
            _exit(2);
        HardwarePort hardware(kernel, paths, [](std::string_view) {});
        guard::GuardedPort port(hardware, *registry);
        Panel f(port, PortOffer{{0x378, 0xD010}, 0xD010});
        f.load();
        f.controls().power_button.fire();
        f.controls().coarse_spin.set_value(20000);
        f.on_refresh_tick();
        log->live.store(1);
        for (;;)
            pause();
    }
    for (int i = 0; i < 60000 && log->live.load() == 0; ++i)
        usleep(1000);
    ASSERT_EQ(log->live.load(), 1);
    const int before = log->count.load();
    kill(panel, SIGKILL);
    int status = 0;
    waitpid(panel, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));

    // The watchdog acts within a moment of the end; wait generously.
    for (int i = 0; i < 60000 && log->count.load() < before + 4; ++i)
        usleep(1000);
    usleep(50000);
    ASSERT_EQ(log->count.load(), before + 4);  // one safe state, nothing more
    const std::pair<unsigned long, int> safe[] = {
        {PPWDATA, 255}, {PPWCONTROL, 3}, {PPWCONTROL, 0}, {PPWCONTROL, 12}};
    for (int i = 0; i < 4; ++i) {
        const auto& e = log->entries[before + i];
        EXPECT_NE(e.pid, panel);
        EXPECT_STREQ(e.device, "/dev/parport1");
        EXPECT_EQ(e.request, safe[i].first);
        EXPECT_EQ(e.byte, safe[i].second);
    }
    // The panel drove only 0xD010 and registered it as the address it is.
    EXPECT_EQ(registry->count.load(), 1);
    EXPECT_EQ(registry->bases[0].load(), 0xD010);
    for (int i = 0; i < before; ++i)
        EXPECT_STREQ(log->entries[i].device, "/dev/parport1");
    munmap(log, sizeof(SharedLog));
    munmap(registry, sizeof(guard::Registry));
}

} // namespace
} // namespace korvel
