// Keeping the board safe on every way out: the driven-port tracking, the
// watchdog's work after a kill (against the fake kernel), and the watchdog
// process itself.
#include "guard/guarded_port.h"
#include "guard/watchdog.h"
#include "port/hardware_port.h"
#include "support/fake_kernel.h"
#include "support/recording_port.h"
#include "support/panel_fixture.h"

#include <linux/ppdev.h>
#include <numeric>
#include <sys/ioctl.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel::guard {
namespace {

std::vector<PortAccess> safe_state(int base)
{
    const auto b = static_cast<std::int16_t>(base), c = static_cast<std::int16_t>(base + 2);
    return {wr(b, 255), wr(c, 3), wr(c, 0), wr(c, 12)};
}

TEST(GuardedPort, FinishWritesTheSafeStateOnceToEveryDrivenBoardLeftLive)
{
    RecordingPort inner;
    Registry registry;
    GuardedPort port(inner, registry);
    Panel f(port);
    Controls& c = f.controls();
    f.load(); // the reset: 0x378 safe
    c.power_button.fire();
    c.coarse_spin.set_value(20000);
    f.on_refresh_tick(); // 0x378 live
    c.port_selector.select("&H278");
    f.on_refresh_tick(); // 0x278 live too
    c.port_selector.select("&H3BC");
    EXPECT_FALSE(port.is_safe(0x378));
    EXPECT_FALSE(port.is_safe(0x278));
    EXPECT_TRUE(port.is_safe(0x3BC)); // never driven
    EXPECT_EQ(registry.count.load(), 2);

    inner.clear();
    port.finish();
    std::vector<PortAccess> expected = safe_state(0x378);
    const auto second = safe_state(0x278);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(inner.log, expected);
    EXPECT_EQ(registry.finished.load(), 1);

    inner.clear();
    port.finish();
    EXPECT_TRUE(inner.log.empty());
}

TEST(GuardedPort, ThePanelsOwnExitIsNotRepeated)
{
    RecordingPort inner;
    Registry registry;
    GuardedPort port(inner, registry);
    Panel f(port);
    Controls& c = f.controls();
    f.load();
    c.power_button.fire();
    f.on_sync_tick(); // control 0: no longer the safe state
    f.on_refresh_tick();
    EXPECT_FALSE(port.is_safe(0x378));
    c.exit_button.fire();
    EXPECT_TRUE(port.is_safe(0x378));
    inner.clear();
    port.finish();
    EXPECT_TRUE(inner.log.empty());
}

TEST(GuardedPort, OnlyTheWholeSequenceCountsAsSafe)
{
    RecordingPort inner;
    Registry registry;
    GuardedPort port(inner, registry);
    for (int v : {255, 3, 0}) // no 12 at the end
        port.Out32(v == 255 ? 0x378 : 0x37A, static_cast<std::int16_t>(v));
    EXPECT_FALSE(port.is_safe(0x378));
    port.Out32(0x378, 7);
    port.Out32(0x37A, 3);
    port.Out32(0x37A, 0);
    port.Out32(0x37A, 12); // 7 was latched, not 255
    EXPECT_FALSE(port.is_safe(0x378));
    port.Out32(0x378, 255);
    port.Out32(0x378, 255);
    port.Out32(0x37A, 3);
    port.Out32(0x37A, 0);
    port.Out32(0x37A, 12);
    EXPECT_TRUE(port.is_safe(0x378));
}

TEST(GuardedPort, OnlyPortsThePanelHoldsAreTheWatchdogsToSecure)
{
    // 0x278 reads as absent: another program holds it.
    struct PartlyHeld : RecordingPort {
        std::string fault(int base) override { return base == 0x278 ? "busy; stop it" : ""; }
    };
    PartlyHeld inner;
    Registry registry;
    GuardedPort port(inner, registry);
    port.Out32(0x278, 48);
    port.Out32(0x27A, 3);
    EXPECT_EQ(registry.count.load(), 0);
    EXPECT_FALSE(port.drove_any());  // nothing to speak of in last words
    port.Out32(0x378, 48);
    EXPECT_TRUE(port.drove_any());
    ASSERT_EQ(registry.count.load(), 1);
    EXPECT_EQ(registry.bases[0].load(), 0x378);
    // Its own end still writes the safe state to both: it costs nothing.
    inner.clear();
    port.finish();
    EXPECT_EQ(inner.writes().size(), 8u);
}

// The watchdog against the fake kernel: a panel (pid 812) drives parport0
// at 0x378 and parport1 at 0x278 through ppdev, then ends one way; the
// watchdog (pid 813) does its work in virtual time. Every byte the ports
// receive after the panel's end is checked, and every line said.
struct WatchdogCase {
    const char* name;
    bool irq;
    // Before the panel starts: another program may hold a port.
    std::function<void(test::FakeKernel&)> before;
    // The panel's end, and what happens between it and the watchdog.
    std::function<void(test::FakeKernel&, GuardedPort&)> end;
    // Called at every pause of the watchdog, with the pause's number.
    std::function<void(test::FakeKernel&, int)> during_pause;
    std::vector<test::RegisterWrite> after_end;  // what the ports receive
    std::vector<std::string> said;
    int status;
};

using test::FakeKernel;
using test::RegisterWrite;

void killed(FakeKernel& k, GuardedPort&) { k.kill(812); }

std::vector<RegisterWrite> claim_and_safe_state(int port, bool irq)
{
    const int b4 = irq ? 0x10 : 0;
    return {{port, 2, 0x0C | b4}, {port, 2, 0x0C | b4}, {port, 0, 255},
            {port, 2, 3 | b4},    {port, 2, 0 | b4},    {port, 2, 12 | b4}};
}

std::vector<RegisterWrite> operator+(std::vector<RegisterWrite> a, const std::vector<RegisterWrite>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::string ended = "korvel: the panel ended without its own exit; the port at ";

TEST(Watchdog, SaysExactlyWhatBecameOfEachPortItHeld)
{
    const std::vector<WatchdogCase> cases = {
        {"never held: another program has both ports", false,
         [](FakeKernel& k) {
             auto& other = k.process(700, "bench");
             for (const char* dev : {"/dev/parport0", "/dev/parport1"}) {
                 const int fd = other.open_rw(dev);
                 other.ioctl(fd, PPEXCL, nullptr);
                 other.ioctl(fd, PPCLAIM, nullptr);
             }
         },
         killed, nullptr, {}, {}, 0},
        {"held, and the panel finished its own exit", false, nullptr,
         [](FakeKernel& k, GuardedPort& p) {
             p.finish();
             k.kill(812);
         },
         nullptr, {}, {}, 0},
        {"held, then killed", false, nullptr, killed, nullptr,
         claim_and_safe_state(0, false) + claim_and_safe_state(1, false),
         {ended + "0x378 was put into the safe state", ended + "0x278 was put into the safe state"},
         0},
        {"held, then killed, on ports with an interrupt line", true, nullptr, killed, nullptr,
         claim_and_safe_state(0, true) + claim_and_safe_state(1, true),
         {ended + "0x378 was put into the safe state", ended + "0x278 was put into the safe state"},
         0},
        {"killed, and the ports come free only after a while", false, nullptr,
         [](FakeKernel& k, GuardedPort&) {
             k.kill(812);
             k.port(0).lp = true;
         },
         [](FakeKernel& k, int pause) {
             if (pause == 3)
                 k.port(0).lp = false;
         },
         claim_and_safe_state(0, false) + claim_and_safe_state(1, false),
         {ended + "0x378 was put into the safe state", ended + "0x278 was put into the safe state"},
         0},
        {"killed, then the claim is refused", false, nullptr,
         [](FakeKernel& k, GuardedPort&) {
             k.kill(812);
             k.port(0).lp = true;
         },
         nullptr, claim_and_safe_state(1, false),
         {ended + "0x378 could NOT be put into the safe state: /dev/parport0 is busy (held by the "
                  "lp printer driver); run 'modprobe -r lp', then restart korvel",
          ended + "0x278 was put into the safe state"},
         1},
        {"killed, and the device has gone", false, nullptr,
         [](FakeKernel& k, GuardedPort&) {
             k.unplug(0);
             k.kill(812);
         },
         nullptr, claim_and_safe_state(1, false),
         {ended + "0x378 could NOT be put into the safe state: no parallel port at this address "
                  "(the kernel has ports at 0x278 only, direct I/O not permitted); choose another "
                  "port",
          ended + "0x278 was put into the safe state"},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel kernel;
        kernel.add_port(0x378, c.irq);
        kernel.add_port(0x278, c.irq);
        if (c.before)
            c.before(kernel);
        Registry registry;
        std::vector<std::string> panel_lines;
        HardwarePort hardware(kernel.process(812), FakeKernel::paths(),
                              [&](std::string_view l) { panel_lines.emplace_back(l); });
        GuardedPort panel(hardware, registry);
        for (int base : {0x378, 0x278}) {  // both ports live
            panel.Out32(static_cast<std::int16_t>(base), 48);
            panel.Out32(static_cast<std::int16_t>(base + 2), 3);
            panel.Out32(static_cast<std::int16_t>(base + 2), 0);
        }
        c.end(kernel, panel);
        const std::size_t at_end = kernel.hardware.size();

        std::vector<std::string> said;
        int pauses = 0, paused_ms = 0;
        const WatchdogIo io{[&](std::string_view l) { said.emplace_back(l); },
                            [&](int ms) {
                                ASSERT_GT(ms, 0);
                                paused_ms += ms;
                                if (c.during_pause)
                                    c.during_pause(kernel, ++pauses);
                            }};
        FakeKernel::Process& watchdog = kernel.process(813);
        const Reopen reopen = [&]() -> std::unique_ptr<Port> {
            return std::make_unique<HardwarePort>(watchdog, FakeKernel::paths(), nullptr);
        };
        EXPECT_EQ(secure_after_panel_end(registry, reopen, io), c.status);
        EXPECT_EQ(std::vector<RegisterWrite>(kernel.hardware.begin() + static_cast<long>(at_end),
                                             kernel.hardware.end()),
                  c.after_end);
        EXPECT_EQ(said, c.said);
        EXPECT_LE(paused_ms, reclaim_budget_ms);
        if (c.after_end.empty()) {
            EXPECT_TRUE(watchdog.calls.empty()) << "the watchdog claimed a port";
        }
        EXPECT_EQ(watchdog.open_files(), 0u);  // it let go of every port
        EXPECT_EQ(registry.finished.load(), 1);

        // Its work is done once.
        const std::size_t done = kernel.hardware.size();
        said.clear();
        EXPECT_EQ(secure_after_panel_end(registry, reopen, io), 0);
        EXPECT_EQ(kernel.hardware.size(), done);
        EXPECT_TRUE(said.empty());
    }
}

TEST(Watchdog, GivesUpOnAPortThatStaysBusyWithinItsBudget)
{
    Registry registry;
    registry.bases[0] = 0x378;
    registry.count = 1;
    FakeKernel kernel;
    kernel.add_port(0x378).lp = true;
    std::vector<int> pauses;
    const WatchdogIo io{[](std::string_view) {}, [&](int ms) { pauses.push_back(ms); }};
    FakeKernel::Process& watchdog = kernel.process(813);
    EXPECT_EQ(secure_after_panel_end(registry,
                                     [&]() -> std::unique_ptr<Port> {
                                         return std::make_unique<HardwarePort>(
                                             watchdog, FakeKernel::paths(), nullptr);
                                     },
                                     io),
              1);
    // Growing pauses that add up to the budget, and a claim tried after each.
    ASSERT_GE(pauses.size(), 3u);
    for (std::size_t i = 1; i + 1 < pauses.size(); ++i)
        EXPECT_GT(pauses[i], pauses[i - 1]);
    EXPECT_EQ(std::accumulate(pauses.begin(), pauses.end(), 0), reclaim_budget_ms);
    const auto opens = std::count(watchdog.events.begin(), watchdog.events.end(), "open");
    EXPECT_EQ(static_cast<std::size_t>(opens), pauses.size() + 1);  // a claim after each pause
    EXPECT_TRUE(kernel.hardware.empty());
}

// A port whose state another process can see: the bytes last written to
// each register of 0x378, in shared memory.
struct SharedBoard {
    std::atomic<int> data{0};
    std::atomic<int> control{0};
    std::atomic<int> writes{0};
};

class SharedPort : public Port {
public:
    explicit SharedPort(SharedBoard& b) : b_(b) {}
    std::int16_t Inp32(std::int16_t) override { return 255; }
    void Out32(std::int16_t address, std::int16_t value) override
    {
        (address & 3) == 0 ? b_.data.store(value) : b_.control.store(value);
        ++b_.writes;
    }

private:
    SharedBoard& b_;
};

TEST(Watchdog, WritesTheSafeStateAfterThePanelIsKilled)
{
    auto* board = new (mmap(nullptr, sizeof(SharedBoard), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0)) SharedBoard;
    auto* registry = new (mmap(nullptr, sizeof(Registry), PROT_READ | PROT_WRITE,
                               MAP_SHARED | MAP_ANONYMOUS, -1, 0)) Registry;

    // A stand-in panel: drives the board live, then is killed.
    const pid_t panel = fork();
    ASSERT_GE(panel, 0);
    if (panel == 0) {
        const pid_t guard = start_watchdog(
            *registry, [board] { return std::make_unique<SharedPort>(*board); });
        if (guard < 0)
            _exit(2);
        SharedPort raw(*board);
        GuardedPort port(raw, *registry);
        port.Out32(0x378, 48);
        port.Out32(0x37A, 3);
        port.Out32(0x37A, 0);
        for (;;)
            pause();
    }
    while (board->writes.load() < 3)
        usleep(1000);
    kill(panel, SIGKILL);
    int status = 0;
    waitpid(panel, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));

    // The watchdog acts within a moment of the end; wait generously.
    for (int i = 0; i < 5000 && board->writes.load() < 7; ++i)
        usleep(1000);
    EXPECT_EQ(board->writes.load(), 7);
    EXPECT_EQ(board->data.load(), 255);
    EXPECT_EQ(board->control.load(), 12);
    usleep(20000);
    EXPECT_EQ(board->writes.load(), 7); // once
}

} // namespace
} // namespace korvel::guard
