// The panel's three timers (sync_timer, refresh_timer, scan_timer) as
// QTimers of the event loop, with or without a window: each runs while its
// control is enabled in the model and fires the control's handler on every
// tick.
#pragma once

#include "panel/controls.h"

#include <QObject>

#include <array>

class QTimer;

namespace korvel {

class PanelTimers : public QObject {
public:
    // Makes one QTimer per timer control of the model, named as in the design
    // table, running at once for a control that is already enabled. The
    // model must outlive this object.
    explicit PanelTimers(Controls& controls, QObject* parent = nullptr);
    ~PanelTimers() override;
    PanelTimers(const PanelTimers&) = delete;
    PanelTimers& operator=(const PanelTimers&) = delete;

    // The QTimer of a timer control; nullptr for any other control.
    QTimer* timer(ControlId id) const { return timers_[static_cast<std::size_t>(id)]; }

private:
    Controls& controls_;
    std::array<QTimer*, control_count> timers_{};
    int observer_key_ = -1;
};

} // namespace korvel
