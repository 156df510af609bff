// One fresh measurement: the first reading the panel accepts from a
// conversion that began after the board had got every change made so far,
// and after a settling delay on top.
//
// It is found from what the panel sees, never from a fixed sleep:
//   1. the output reaches the board: the next latch refresh, when a change
//      of set-point, bits, mode or port has not been written yet; at once
//      otherwise;
//   2. the settling delay passes, counted in the panel's own ticks (10 ms
//      per sync tick, 1 ms per scan tick, one sync tick more than asked, so
//      the real delay is never shorter);
//   3. a sync tick sees the conversion line high: no conversion is running,
//      so the next one begins later;
//   4. a sync tick sees the line low: that conversion began after step 3;
//   5. the next reading accepted is that conversion's or a later one's.
// A reading accepted before step 5 measured (some of) the old output and
// is passed over.
#pragma once

namespace korvel {

class FreshMeasurement {
public:
    enum class Stage {
        awaiting_output,  // a change waits for the next latch refresh
        settling,         // the delay runs
        awaiting_idle,    // waits for a sync tick that sees no conversion
        awaiting_start,   // waits for a sync tick that sees a conversion
        converting,       // the next reading accepted is the one
        done,
    };

    // output_pending: a change has not reached the board yet.
    FreshMeasurement(bool output_pending, int delay_ms);

    // A refresh tick: the latches got what the panel holds.
    void output_written();
    // A sync tick (10 ms) and the conversion line it saw.
    void sync_tick(bool converting);
    // A scan tick (1 ms).
    void scan_tick();
    // A reading was accepted; true when it is the one measured.
    bool reading_accepted();

    Stage stage() const { return stage_; }

    static constexpr int sync_tick_ms = 10;
    static constexpr int scan_tick_ms = 1;

private:
    void output_reached();
    void elapse(int ms);

    Stage stage_;
    int delay_ms_;
    int elapsed_ms_ = 0;
};

} // namespace korvel
