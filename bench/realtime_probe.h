// The measuring side of korvel-bench's real-time modes: watches the panel's
// model and the three QTimers that run sync_timer..scan_timer, whoever owns them
// (the bench itself, or the window), and gathers the figures of a run.
#pragma once

#include "bench/bench_common.h"
#include "sim/sim_board.h"

#include <QObject>

#include <array>
#include <chrono>

class QTimer;

namespace korvel::bench {

class RealtimeProbe : public QObject {
public:
    // timers: the QTimers of sync_timer, refresh_timer and scan_timer, in that order; they
    // and the panel must outlive the probe. board: the board the panel reads.
    RealtimeProbe(Panel& panel, sim::SimBoard& board, std::array<QTimer*, 3> timers);
    ~RealtimeProbe() override;
    RealtimeProbe(const RealtimeProbe&) = delete;
    RealtimeProbe& operator=(const RealtimeProbe&) = delete;

    // The measured run: from start() to stop(). stop() takes the board's
    // and the panel's state as they are; later calls do nothing.
    void start();
    void stop();
    bool measuring() const { return measuring_; }
    bool measured() const { return stopped_; }

    const Figures& figures() const { return figures_; }
    double cpu_seconds() const { return cpu_s_; }

    // Prints the figures under `title`.
    void print(const std::string& title, int set_point) const;

protected:
    // Each tick of a timer arrives as a timer event on its QTimer, before
    // the QTimer runs the handler: the tick is counted, so a scan's last
    // tick is in its length.
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    using Clock = std::chrono::steady_clock;

    void on_enabled(Control& c);
    double conversions_so_far();

    Panel& panel_;
    sim::SimBoard& board_;
    std::array<Control*, 3> controls_;
    std::array<QTimer*, 3> timers_;
    int observer_key_ = -1;
    int reading_key_ = -1;
    std::uint64_t discarded0_ = 0;

    std::uint64_t ticks_[3] = {};     // every tick since the probe was made
    std::uint64_t ticks_at_start_[3] = {};
    Clock::time_point running_since_[3];
    std::uint64_t scan_started_at_ = 0;

    bool measuring_ = false;
    bool stopped_ = false;
    Clock::time_point wall0_;
    double cpu0_ = 0;
    double conversions0_ = 0;
    double cpu_s_ = 0;
    Figures figures_;
};

} // namespace korvel::bench
