#include "session/panel_timers.h"

#include <QTimer>

namespace korvel {

PanelTimers::PanelTimers(Controls& controls, QObject* parent) : QObject(parent), controls_(controls)
{
    // In the design table's order, so that timers due at the same moment
    // fire in the same order on every run.
    for (std::size_t i = 0; i < control_count; ++i) {
        Control& c = controls_[static_cast<ControlId>(i)];
        const Design& d = c.design();
        if (d.kind != Kind::Timer)
            continue;
        auto* t = new QTimer(this);
        t->setObjectName(QString::fromUtf8(d.name.data(), static_cast<qsizetype>(d.name.size())));
        t->setTimerType(Qt::PreciseTimer);
        t->setInterval(d.interval_ms);
        t->setSingleShot(false);
        connect(t, &QTimer::timeout, this, [&c] {
            if (c.enabled())
                c.fire();
        });
        if (c.enabled())
            t->start();
        timers_[i] = t;
    }
    // The model reports only real changes: start on stopped -> running,
    // stop on running -> stopped.
    observer_key_ = controls_.observe([this](Control& c, Property p) {
        QTimer* t = timer(c.id());
        if (!t || p != Property::Enabled)
            return;
        if (c.enabled())
            t->start();
        else
            t->stop();
    });
}

PanelTimers::~PanelTimers()
{
    controls_.forget(observer_key_);
    for (QTimer* t : timers_)
        if (t)
            t->stop();
}

} // namespace korvel
