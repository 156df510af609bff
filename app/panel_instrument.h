// The remote interface's view of the panel: each setting is one of the
// panel's operations, which run the handler the same gesture on the window
// runs, so the window shows a remote change at once and the port traffic is
// the panel's own.
#pragma once

#include "panel/panel.h"
#include "remote/instrument.h"

#include <optional>
#include <string>
#include <vector>

namespace korvel {

class PanelInstrument : public remote::Instrument {
public:
    // model: the second field of the identity ("korvel", "korvel-sim").
    PanelInstrument(Panel& panel, std::string model);
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

private:
    Panel& panel_;
    std::string model_;
    std::optional<remote::Reading> last_;
    bool over_seen_ = false;
    bool under_seen_ = false;
    int reading_key_ = -1;
    int observer_key_ = -1;
    // Measurements started and not yet told, by the panel's key.
    std::vector<int> measurements_;
};

} // namespace korvel
