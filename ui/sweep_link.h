// How the panel's window opens the sweep window: Ctrl+W anywhere in the
// window, like the trend's Ctrl+T. The sweep window is made on first opening
// and lives until the link goes; closing it only hides it (a running sweep
// runs on).
#pragma once

#include "sweep/sweep.h"

#include <QObject>

#include <memory>

class QWidget;

namespace korvel::sweepui {
class SweepWindow;
}

namespace korvel::ui {

class SweepLink : public QObject {
public:
    static constexpr const char* shortcut = "Ctrl+W";

    // window: the panel's window; it and the sweep must outlive the link.
    SweepLink(QWidget& window, sweep::Sweep& sweep);
    ~SweepLink() override;
    SweepLink(const SweepLink&) = delete;
    SweepLink& operator=(const SweepLink&) = delete;

    bool is_open() const;
    void set_open(bool open);
    sweepui::SweepWindow* window() const { return window_.get(); }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    QWidget& panel_window_;
    sweep::Sweep& sweep_;
    std::unique_ptr<sweepui::SweepWindow> window_;
};

} // namespace korvel::ui
