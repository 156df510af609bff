// The remote interface's view of the panel: every change runs the handler
// that the same change by hand runs (the power button, the mode and port
// selectors, the spin controls' change events, the bit buttons), so the
// window shows it at once and the port traffic is the panel's own.
#pragma once

#include "panel/form1.h"
#include "remote/instrument.h"

#include <optional>
#include <string>

namespace korvel {

class FormInstrument : public remote::Instrument {
public:
    // model: the second field of the identity ("korvel", "korvel-sim").
    FormInstrument(Form1& form, std::string model);
    ~FormInstrument() override;
    FormInstrument(const FormInstrument&) = delete;
    FormInstrument& operator=(const FormInstrument&) = delete;

    std::string identity() const override;
    void reset() override;
    bool power() const override;
    void set_power(bool on) override;
    std::string mode() const override;
    void set_mode(std::string_view mode) override;
    std::vector<std::string> ports() const override;
    std::string port() const override;
    void set_port(std::string_view item) override;
    int setpoint() const override;
    void set_setpoint(int value) override;
    int bits() const override;
    void set_bits(int value) override;
    std::optional<remote::Reading> last_reading() const override;

    // How the set-point is shared out: Coarse takes the hundreds it can,
    // Medium the tens, Fine the rest, each within its control's range.
    struct Spins {
        int coarse, medium, fine;
    };
    static Spins share_out(int value);

private:
    remote::Reading reading_shown() const;

    Form1& form_;
    std::string model_;
    std::optional<remote::Reading> last_;
    bool over_seen_ = false;
    bool under_seen_ = false;
    int observer_ = -1;
};

} // namespace korvel
