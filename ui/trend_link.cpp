#include "ui/trend_link.h"

#include "trend/trend_window.h"

#include <QEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QShortcut>

namespace korvel::ui {

TrendLink::TrendLink(QWidget& window, QWidget& reading, history::ReadingHistory& history,
                     std::function<const history::ReadingSource&()> readings)
    : panel_window_(window), reading_(reading), history_(history), readings_(std::move(readings))
{
    reading_.installEventFilter(this);
    panel_window_.installEventFilter(this);
    auto* key = new QShortcut(QKeySequence(QString::fromLatin1(shortcut)), &panel_window_);
    key->setObjectName(QStringLiteral("trend_shortcut"));
    connect(key, &QShortcut::activated, this, [this] { set_open(true); });
}

TrendLink::~TrendLink()
{
    reading_.removeEventFilter(this);
    panel_window_.removeEventFilter(this);
}

bool TrendLink::is_open() const { return trend_ && trend_->isVisible(); }

void TrendLink::set_open(bool open)
{
    if (!open) {
        if (trend_)
            trend_->close();
        return;
    }
    if (!trend_) {
        trend_ = std::make_unique<trend::TrendWindow>(history_, readings_ ? readings_() : history_);
        // Beside the panel's window: to its right where the screen has the
        // room, else to its left, else over it.
        const QRect panel = panel_window_.frameGeometry();
        QRect place(QPoint(panel.right() + 8, panel.top()), trend_->size());
        if (const QScreen* s = panel_window_.screen()) {
            const QRect room = s->availableGeometry();
            if (!room.contains(place))
                place.moveRight(panel.left() - 8);
            if (!room.contains(place))
                place.moveTopLeft(room.topLeft());
        }
        trend_->move(place.topLeft());
    }
    trend_->show();
    trend_->raise();
    trend_->activateWindow();
}

bool TrendLink::eventFilter(QObject* watched, QEvent* e)
{
    // The panel's window hidden by the program (its end), not by the
    // desktop (minimised): the trend goes with it.
    if (watched == &panel_window_ && e->type() == QEvent::Hide && !e->spontaneous())
        set_open(false);
    // The reading keeps every other event as it is; the double-click is
    // only looked at.
    if (watched == &reading_ && e->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton)
        set_open(true);
    return QObject::eventFilter(watched, e);
}

} // namespace korvel::ui
