#include "panel/marked_readings.h"

namespace korvel {

MarkedReadings::MarkedReadings(Panel& panel, std::function<void(const dvm::Reading&)> listener)
    : panel_(panel), listener_(std::move(listener))
{
    Controls& c = panel_.controls();
    observer_key_ = c.observe([this, &c](Control& changed, Property p) {
        // The power button's caption changes with every switch ON or OFF:
        // a reading belongs to the ON period it was taken in.
        if (&changed == &c.power_button && p == Property::Text)
            over_seen_ = under_seen_ = false;
        if (p == Property::Visible && changed.visible()) {
            if (&changed == &c.over_mark)
                over_seen_ = true;
            if (&changed == &c.under_mark)
                under_seen_ = true;
        }
    });
    reading_key_ = panel_.on_reading([this](const dvm::Reading& r) {
        dvm::Reading marked = r;
        marked.over = r.over || over_seen_;
        marked.under = r.under || under_seen_;
        over_seen_ = under_seen_ = false;
        listener_(marked);
    });
}

MarkedReadings::~MarkedReadings()
{
    panel_.forget_readings(reading_key_);
    panel_.controls().forget(observer_key_);
}

} // namespace korvel
