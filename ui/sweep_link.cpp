#include "ui/sweep_link.h"

#include "sweepui/sweep_window.h"

#include <QEvent>
#include <QScreen>
#include <QShortcut>

namespace korvel::ui {

SweepLink::SweepLink(QWidget& window, sweep::Sweep& sweep) : panel_window_(window), sweep_(sweep)
{
    panel_window_.installEventFilter(this);
    auto* key = new QShortcut(QKeySequence(QString::fromLatin1(shortcut)), &panel_window_);
    key->setObjectName(QStringLiteral("sweep_shortcut"));
    connect(key, &QShortcut::activated, this, [this] { set_open(true); });
}

SweepLink::~SweepLink() { panel_window_.removeEventFilter(this); }

bool SweepLink::is_open() const { return window_ && window_->isVisible(); }

void SweepLink::set_open(bool open)
{
    if (!open) {
        if (window_)
            window_->close();
        return;
    }
    if (!window_) {
        window_ = std::make_unique<sweepui::SweepWindow>(sweep_);
        // Below the panel's window where the screen has the room, else over it.
        const QRect panel = panel_window_.frameGeometry();
        QRect place(QPoint(panel.left(), panel.bottom() + 8), window_->size());
        if (const QScreen* s = panel_window_.screen()) {
            const QRect room = s->availableGeometry();
            if (!room.contains(place))
                place.moveTopLeft(room.topLeft());
        }
        window_->move(place.topLeft());
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

bool SweepLink::eventFilter(QObject* watched, QEvent* e)
{
    // The panel's window hidden by the program (its end): the sweep window
    // goes with it.
    if (watched == &panel_window_ && e->type() == QEvent::Hide && !e->spontaneous())
        set_open(false);
    return QObject::eventFilter(watched, e);
}

} // namespace korvel::ui
