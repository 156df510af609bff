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
#include "support/fake_kernel.h"
#include "support/recording_port.h"
#include "support/panel_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel {
namespace {

using test::FakeKernel;
using test::RegisterWrite;

// A kernel running parportN at each base given, its status lines reading
// 0x98 as the reference port's do, and this program as one of its
// processes.
struct Machine {
    explicit Machine(const std::vector<unsigned>& bases = {})
    {
        for (unsigned base : bases)
            kernel.add_port(base).status = 0x98;
    }
    std::vector<unsigned> kernel_bases()
    {
        std::vector<unsigned> b;
        for (const auto& p : list_parports(sys, paths.proc + "/sys/dev/parport"))
            b.push_back(p.base);
        return b;
    }
    // The devices this program has open, in the order of their descriptors.
    std::vector<std::string> open_devices()
    {
        const std::string fds = paths.proc + "/" + std::to_string(sys.pid()) + "/fd";
        std::vector<std::string> devices;
        for (const auto& fd : sys.list_dir(fds))
            devices.push_back(sys.read_link(fds + "/" + fd).value_or("?"));
        return devices;
    }

    FakeKernel kernel;
    FakeKernel::Process& sys = kernel.process(100);
    const HardwarePaths paths = FakeKernel::paths();
};

// --- the selector ------------------------------------------------------------

TEST(KernelTable, TheSelectorOffersTheDesignsThreeThenEveryOtherKernelPort)
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

TEST(KernelTable, APciCardsBaseGetsTheSameTrafficThroughItsOwnDevice)
{
    // The same panel at 0x378 on a recording port: the traffic of record.
    RecordingPort reference;
    reference.fallback = 0x98;
    Panel r(reference);
    drive(r);

    for (unsigned base : {0xD010u, 0xFFF8u}) {
        SCOPED_TRACE(base);
        Machine m({0x378, base});
        HardwarePort hardware(m.sys, m.paths, [](std::string_view) {});
        Tap tap(hardware);
        Panel f(tap, PortOffer{m.kernel_bases(), base});
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
        EXPECT_EQ(m.sys.closed, std::vector<std::string>{});
        EXPECT_EQ(m.open_devices(), std::vector<std::string>{"/dev/parport1"});
        ASSERT_EQ(m.sys.calls.size(), tap.log.size() + 2);
        EXPECT_EQ(m.sys.calls[0].request, static_cast<unsigned long>(PPEXCL));
        EXPECT_EQ(m.sys.calls[1].request, static_cast<unsigned long>(PPCLAIM));
        // The card received the kernel's claim, then each byte the panel wrote.
        std::vector<RegisterWrite> received = {{1, 2, 0x0C}, {1, 2, 0x0C}};
        for (std::size_t i = 0; i < tap.log.size(); ++i) {
            const PortAccess& a = tap.log[i];
            const test::IoctlCall& call = m.sys.calls[i + 2];
            const int offset = static_cast<std::uint16_t>(a.address) - base;
            const unsigned long request = a.kind == PortAccess::Read ? PPRSTATUS
                                          : offset == 0            ? PPWDATA
                                                                   : PPWCONTROL;
            ASSERT_EQ(call.request, request) << "access " << i;
            ASSERT_EQ(call.byte, a.value) << "access " << i;
            if (a.kind == PortAccess::Write)
                received.push_back({1, offset, a.value});
        }
        EXPECT_EQ(m.kernel.hardware, received);
    }
}

// --- addresses as a user gives them ---------------------------------------------

TEST(KernelTable, PortAddressesInEveryAcceptedForm)
{
    Machine m({0x378, 0xD010});
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
        const PortAddress a = parse_port_address(c.text, m.sys, m.paths);
        EXPECT_EQ(a.base, c.base);
        EXPECT_NE(a.problem.find(c.problem), std::string::npos) << a.problem;
        EXPECT_EQ(a.problem.find('\n'), std::string::npos);
    }
}

// --- the listing ----------------------------------------------------------------

TEST(KernelTable, TheListingSaysOfEachPortWhetherItCanBeUsed)
{
    struct Case {
        const char* name;
        std::function<void(FakeKernel&)> setup;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"usable", [](FakeKernel&) {},
         {"/dev/parport0  0x378  (ppdev: usable)", "/dev/parport1  0xD010  (ppdev: usable)"}},
        {"lp printer driver",
         [](FakeKernel& k) { k.port(0).lp = true; },
         {"/dev/parport0  0x378  (busy: held by the lp printer driver)",
          "/dev/parport1  0xD010  (ppdev: usable)"}},
        {"another korvel",
         [](FakeKernel& k) {
             FakeKernel::Process& other = k.process(812, "korvel");
             const int fd = other.open_rw("/dev/parport1");
             other.ioctl(fd, PPEXCL, nullptr);
             other.ioctl(fd, PPCLAIM, nullptr);
         },
         {"/dev/parport0  0x378  (ppdev: usable)",
          "/dev/parport1  0xD010  (busy: held by korvel (pid 812))"}},
        {"permission denied", [](FakeKernel& k) { k.port(1).open_error = EACCES; },
         {"/dev/parport0  0x378  (ppdev: usable)",
          "/dev/parport1  0xD010  (permission denied: add yourself to group lp)"}},
        {"ppdev not loaded", [](FakeKernel& k) { k.port(0).open_error = ENOENT; },
         {"/dev/parport0  0x378  (no usable /dev/parport0: load ppdev ('modprobe ppdev'))",
          "/dev/parport1  0xD010  (ppdev: usable)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Machine m({0x378, 0xD010});
        c.setup(m.kernel);
        EXPECT_EQ(list_ports(m.sys, m.paths), c.lines);
        // Opened to learn of access, closed at once, never claimed or written.
        EXPECT_EQ(m.sys.open_files(), 0u);
        EXPECT_TRUE(m.sys.calls.empty());
    }

    Machine none_running;
    const auto none = list_ports(none_running.sys, none_running.paths);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].rfind("no parallel ports: ", 0), 0u);
    EXPECT_NE(none[0].find("modprobe -a parport_pc ppdev"), std::string::npos);
}

// An address the kernel does not run is an absent port: even where direct
// I/O is allowed, it is used only at the motherboard addresses.
TEST(KernelTable, NoDirectIoAwayFromTheMotherboardAddresses)
{
    Machine m({0x378});
    m.sys.ioperm_result = 0;
    std::vector<std::string> said;
    HardwarePort port(m.sys, m.paths, [&](std::string_view l) { said.emplace_back(l); });
    port.Out32(at(0xE000), 1);
    port.Out32(at(0xE002), 12);
    EXPECT_EQ(port.Inp32(at(0xE001)), 255);
    EXPECT_EQ(port.backend_for(0xE000), PortBackend::Absent);
    EXPECT_TRUE(m.sys.ioperm_calls.empty());
    EXPECT_TRUE(m.sys.outs.empty());
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

// A process of the fake kernel whose data and control writes also go into
// the shared log, with the device each reached. It is not listed under the
// kernel's /proc, which nothing here reads.
class LoggedProcess : public FakeKernel::Process {
public:
    LoggedProcess(FakeKernel& kernel, int pid, SharedLog& log)
        : Process(kernel, pid, "korvel"), ports_(kernel), log_(log)
    {
    }
    int ioctl(int fd, unsigned long request, void* arg) noexcept override
    {
        const int result = Process::ioctl(fd, request, arg);
        if (result < 0 || (request != PPWDATA && request != PPWCONTROL))
            return result;
        const int i = log_.count.fetch_add(1);
        if (i < SharedLog::size) {
            SharedLog::Entry& e = log_.entries[i];
            e = {getpid(), {}, request, *static_cast<std::uint8_t*>(arg)};
            std::snprintf(e.device, sizeof e.device, "/dev/parport%d", ports_.hardware.back().port);
        }
        return result;
    }

private:
    FakeKernel& ports_;
    SharedLog& log_;
};

TEST(KernelTable, AKilledPanelsCardIsPutIntoTheSafeStateByTheWatchdog)
{
    Machine m({0x378, 0xD010});
    auto* log = new (mmap(nullptr, sizeof(SharedLog), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0)) SharedLog;
    auto* registry = new (mmap(nullptr, sizeof(guard::Registry), PROT_READ | PROT_WRITE,
                               MAP_SHARED | MAP_ANONYMOUS, -1, 0)) guard::Registry;

    // The panel, started on 0xD010, ON in mode ZEP with a set-point, killed.
    const pid_t panel = fork();
    ASSERT_GE(panel, 0);
    if (panel == 0) {
        LoggedProcess panel_calls(m.kernel, 812, *log), watchdog_calls(m.kernel, 813, *log);
        const pid_t guard = guard::start_watchdog(*registry, [&]() -> std::unique_ptr<Port> {
            return std::make_unique<HardwarePort>(watchdog_calls, m.paths, [](std::string_view) {});
        });
        if (guard < 0)
            _exit(2);
        HardwarePort hardware(panel_calls, m.paths, [](std::string_view) {});
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
