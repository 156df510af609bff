// How the panel's window opens the trend window: a double-click on the
// voltmeter reading, or Ctrl+T anywhere in the window. The trend window is
// made on first opening and lives until the link goes; closing it only
// hides it.
#pragma once

#include "history/reading_history.h"

#include <QObject>

#include <functional>
#include <memory>

class QWidget;

namespace korvel::trend {
class TrendWindow;
}

namespace korvel::ui {

class TrendLink : public QObject {
public:
    // The key that opens the trend from the panel's window.
    static constexpr const char* shortcut = "Ctrl+T";

    // window: the panel's window; reading: its voltmeter reading. Both and
    // the history must outlive the link (it is no child of the window: it
    // lets go of the reading before the window's widgets go). readings: the
    // source the trend draws from, asked when the trend is first opened
    // (the history itself unless given).
    TrendLink(QWidget& window, QWidget& reading, history::ReadingHistory& history,
              std::function<const history::ReadingSource&()> readings = {});
    ~TrendLink() override;
    TrendLink(const TrendLink&) = delete;
    TrendLink& operator=(const TrendLink&) = delete;

    bool is_open() const;
    // Opens it beside the panel's window (and brings it forward), or closes it.
    void set_open(bool open);
    // The trend window, once it has been made (nullptr before).
    trend::TrendWindow* window() const { return trend_.get(); }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    QWidget& panel_window_;
    QWidget& reading_;
    history::ReadingHistory& history_;
    std::function<const history::ReadingSource&()> readings_;
    std::unique_ptr<trend::TrendWindow> trend_;
};

} // namespace korvel::ui
