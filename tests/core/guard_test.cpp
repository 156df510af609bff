// Keeping the board safe on every way out: the driven-port tracking, the
// watchdog's work after a kill, and the watchdog process itself.
#include "guard/guarded_port.h"
#include "guard/watchdog.h"
#include "support/recording_port.h"
#include "support/panel_fixture.h"

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

TEST(Watchdog, SecuresEveryDrivenBaseUnlessThePanelFinished)
{
    Registry registry;
    registry.bases[0] = 0x378;
    registry.bases[1] = 0x278;
    registry.count = 2;
    std::vector<PortAccess> seen;
    // The reopened port dies with the call; it hands its log over as it goes.
    Reopen recording = [&]() -> std::unique_ptr<Port> {
        struct Tap : RecordingPort {
            std::vector<PortAccess>* out;
            ~Tap() override { *out = log; }
        };
        auto p = std::make_unique<Tap>();
        p->out = &seen;
        return p;
    };
    EXPECT_EQ(secure_after_panel_end(registry, recording), 2);
    std::vector<PortAccess> expected = safe_state(0x378);
    const auto second = safe_state(0x278);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(registry.finished.load(), 1);

    seen.clear();
    EXPECT_EQ(secure_after_panel_end(registry, recording), 0);
    EXPECT_TRUE(seen.empty());
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
