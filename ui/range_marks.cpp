#include "ui/range_marks.h"

namespace korvel::ui {

RangeMarks::RangeMarks(Panel& panel) : panel_(panel)
{
    Controls& c = panel_.controls();
    key_ = c.observe([this, &c](Control& changed, Property p) {
        // A reading belongs to the ON period it was taken in.
        if (&changed == &c.power_button && p == Property::Text)
            over_ = under_ = false;
        if (p == Property::Visible && changed.visible()) {
            if (&changed == &c.over_mark)
                over_ = true;
            if (&changed == &c.under_mark)
                under_ = true;
        }
    });
}

RangeMarks::~RangeMarks() { panel_.controls().forget(key_); }

dvm::Reading RangeMarks::take(const dvm::Reading& reading)
{
    dvm::Reading r = reading;
    r.over = r.over || over_;
    r.under = r.under || under_;
    over_ = under_ = false;
    return r;
}

} // namespace korvel::ui
