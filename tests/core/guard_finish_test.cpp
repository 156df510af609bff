// The end of the panel while another thread still drives the port, as when
// a helper thread crashes and its handler finishes the guard while the
// panel's thread runs on for a moment: once finish() has run, the board
// holds the safe state and no later write reaches it.
#include "guard/guarded_port.h"
#include "port/registers.h"
#include "sim/board_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace korvel::guard {
namespace {

// The board's latches, safe to write from several threads at once.
class SharedLatches : public Port {
public:
    SharedLatches() { sim::reset_state(state); }
    std::int16_t Inp32(std::int16_t) override { return 255; }
    void Out32(std::int16_t address, std::int16_t value) override
    {
        if (reg::base_of(address) == 0x378)
            sim::board_write(state, reg::offset_of(address), static_cast<std::uint8_t>(value), 0);
    }
    sim::BoardState state;
};

TEST(GuardFinish, NoWriteOfAnotherThreadPassesAfterTheEnd)
{
    SharedLatches board;
    Registry registry;
    GuardedPort port(board, registry);

    std::atomic<bool> stop{false};
    std::atomic<long> rounds{0};
    // The panel's thread: the low latch written live, again and again.
    std::thread panel([&] {
        while (!stop.load()) {
            port.Out32(0x378, 48);
            port.Out32(0x37A, 3);
            port.Out32(0x37A, 0);
            ++rounds;
        }
    });
    while (rounds.load() < 1000)
        std::this_thread::yield();

    port.finish();
    EXPECT_TRUE(port.finished());
    EXPECT_EQ(registry.finished.load(), 1);
    const std::uint64_t writes_at_end = sim::snapshot(board.state).writes;

    // The panel's thread goes on trying for a while.
    const long at_end = rounds.load();
    while (rounds.load() < at_end + 1000)
        std::this_thread::yield();
    stop = true;
    panel.join();

    const sim::BoardState s = sim::snapshot(board.state);
    EXPECT_EQ(s.writes, writes_at_end);
    EXPECT_EQ(s.latch_lo, 255);
    EXPECT_EQ(s.data, 255);
    EXPECT_EQ(s.control, 12);
    // The safe-state writes, last one first.
    const std::pair<unsigned, unsigned> tail[] = {
        {0x37A, 12}, {0x37A, 0}, {0x37A, 3}, {0x378, 255}};
    for (std::size_t n = 0; n < 4; ++n) {
        EXPECT_EQ(s.recent(n).address, tail[n].first) << n << " from the end";
        EXPECT_EQ(s.recent(n).value, tail[n].second) << n << " from the end";
    }
    // Live writes came before it, none after.
    EXPECT_NE(s.recent(4).seq, 0u);

    // A second end writes nothing.
    port.finish();
    EXPECT_EQ(sim::snapshot(board.state).writes, writes_at_end);
}

} // namespace
} // namespace korvel::guard
