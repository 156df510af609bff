// The real window over a recording port, for the window tests.
#pragma once

#include "support/recording_port.h"
#include "ui/main_window.h"
#include "ui/run_panel.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <vector>

namespace korvel::test {

// The safe state on the board at 0x378: 255 strobed into the low latch,
// then 12 left on the control register.
const std::vector<PortAccess> safe_state_378 = {wr(888, 255), wr(890, 3), wr(890, 0),
                                                wr(890, 12)};

struct WindowPanel {
    korvel::RecordingPort port;
    korvel::PanelSession session{port};
    int beeps = 0;

    WindowPanel() { session.panel().beep = [this] { ++beeps; }; }

    korvel::Panel& panel() { return session.panel(); }
    korvel::Controls& controls() { return session.panel().controls(); }
    korvel::ui::MainWindow& window() { return session.window(); }
    template <class T = QWidget> T* w(ControlId id) { return static_cast<T*>(window().widget(id)); }

    // Shows the window and waits until it is the active one.
    [[nodiscard]] bool show_active()
    {
        window().show();
        window().activateWindow();
        return QTest::qWaitForWindowActive(&window());
    }

    // Accesses made from index `from` on.
    std::vector<PortAccess> since(std::size_t from) const
    {
        return {port.log.begin() + static_cast<std::ptrdiff_t>(from), port.log.end()};
    }

    // Whether the accesses from index `from` on end with the safe state, and
    // hold it only there. Timer ticks that the event loop ran before the end
    // may come first: how many depends on the machine's speed.
    bool ends_with_one_safe_state(std::size_t from) const
    {
        const std::vector<PortAccess> log = since(from);
        const std::size_t n = safe_state_378.size();
        if (log.size() < n || !std::equal(safe_state_378.begin(), safe_state_378.end(),
                                          log.end() - static_cast<std::ptrdiff_t>(n)))
            return false;
        return std::count(log.begin(), log.end(), safe_state_378.front()) == 1;
    }

    // Runs the event loop as the program does, after `action`, until the
    // panel ends it; a loop that does not end within the time-out returns 99.
    int run(const std::function<void()>& action, int delay_ms = 0)
    {
        QTimer::singleShot(delay_ms, action);
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        timeout.start(20000);
        return session.exec();
    }
};

} // namespace korvel::test
