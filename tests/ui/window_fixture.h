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
    korvel::WindowSession session{port};
    int beeps = 0;

    WindowPanel() { session.panel().beep = [this] { ++beeps; }; }

    korvel::Panel& panel() { return session.panel(); }
    korvel::Controls& controls() { return session.panel().controls(); }
    korvel::ui::MainWindow& window() { return session.window(); }
    template <class T = QWidget> T* w(ControlId id) { return static_cast<T*>(window().widget(id)); }
    // The session's timer with this design name, or nullptr.
    QTimer* timer_named(const QString& name) const
    {
        for (ControlId t : {ControlId::sync_timer, ControlId::refresh_timer, ControlId::scan_timer})
            if (session.timer(t)->objectName() == name)
                return session.timer(t);
        return nullptr;
    }

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

    // Accesses from index `from` up to and including the last one, when
    // they end in the safe state written once: a request that reaches the
    // panel through the event loop (a signal, a plain end of the loop) may
    // let a timer tick that was already due run first, and those ticks are
    // dropped here. Empty when the safe state is not the end of the traffic,
    // or was written more than once.
    std::vector<PortAccess> exit_traffic(std::size_t from) const
    {
        const auto all = since(from);
        const auto n = safe_state_378.size();
        if (all.size() < n || !std::equal(safe_state_378.begin(), safe_state_378.end(), all.end() - n))
            return {};
        if (std::search(all.begin(), all.end() - n, safe_state_378.begin(), safe_state_378.end()) !=
            all.end() - n)
            return {};
        return {all.end() - n, all.end()};
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
