// The remote interface's view of the panel: each setting is one of the
// panel's operations, which run the handler the same gesture on the window
// runs, so the window shows a remote change at once and the port traffic is
// the panel's own.
#pragma once

#include "history/reading_history.h"
#include "panel/marked_readings.h"
#include "panel/panel.h"
#include "remote/instrument.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

class PanelInstrument : public remote::Instrument {
public:
    // model: the second field of the identity ("korvel", "korvel-sim").
    // history: the panel's reading history, fed by the panel session; the
    // readings, their marks and limit verdicts, the statistics and the
    // limits are then its own, so that every front end sees the same. It
    // must outlive this. Without one there are readings but no statistics
    // or limits.
    PanelInstrument(Panel& panel, std::string model,
                    history::ReadingHistory* history = nullptr);
    ~PanelInstrument() override;
    PanelInstrument(const PanelInstrument&) = delete;
    PanelInstrument& operator=(const PanelInstrument&) = delete;

    std::string identity() const override;
    void reset() override;
    bool power() const override { return panel_.power(); }
    void set_power(bool on) override;
    std::string mode() const override;
    void set_mode(std::string_view mode) override;
    std::vector<std::string> ports() const override;
    std::string port() const override { return panel_.port_item(); }
    void set_port(std::string_view item) override;
    int setpoint() const override { return panel_.setpoint(); }
    void set_setpoint(int value) override;
    int bits() const override { return panel_.bits(); }
    void set_bits(int value) override;
    bool view_open(View view) const override;
    void set_view_open(View view, bool open) override;
    void exit() override;
    std::optional<remote::Reading> last_reading() const override { return last_; }
    // The panel's fresh measurement; the reading with its marks as
    // last_reading() gives it.
    int initiate(int delay_ms, MeasureHook done) override;
    void cancel(int key) override;

    std::optional<remote::Statistics> statistics() const override;
    void clear_statistics() override;
    std::optional<remote::Limits> limits() const override;
    void set_limits(const remote::Limits& limits) override;
    remote::LimitFailures limit_failures() const override;
    void clear_limit_failures() override;

    // The trend window's hooks (PanelSession::trend_open and set_trend_open),
    // looked up at each use, since the trend window may come after this;
    // while they are empty there is no trend window.
    void use_trend(const std::function<bool()>& is_open, const std::function<void(bool)>& set_open)
    {
        trend_is_open_ = &is_open;
        trend_set_open_ = &set_open;
    }
    std::optional<bool> trend_open() const override;

    // The readings over time the remote queries read (PanelSession::readings():
    // the store when there is one, else the history); it must outlive this.
    void read_from(const history::ReadingSource* source) { source_ = source; }
    std::optional<std::size_t> readings_kept() const override;
    std::vector<remote::Reading> newest_readings(std::size_t n) const override;
    void set_trend_open(bool open) override;

private:
    void take(const remote::Reading& r);

    Panel& panel_;
    std::string model_;
    history::ReadingHistory* history_;
    const history::ReadingSource* source_ = nullptr;
    std::optional<remote::Reading> last_;
    std::unique_ptr<MarkedReadings> readings_;  // without a history
    int history_key_ = -1;
    int observer_key_ = -1;
    const std::function<bool()>* trend_is_open_ = nullptr;
    const std::function<void(bool)>* trend_set_open_ = nullptr;
    // Measurements started and not yet told, by the panel's key.
    std::vector<int> measurements_;
};

} // namespace korvel
