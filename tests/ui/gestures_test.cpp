// Every gesture a user can make on the set-point controls and the selectors,
// through the real window: the board sees at most one step of the touched
// control per gesture, and no mode or port change without an explicit
// choice. The latch traffic of the next refresh is compared byte for byte.
#include "ui/widgets.h"
#include "window_fixture.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

using korvel::ControlId;
using korvel::PortAccess;
using korvel::wr;
using korvel::test::WindowPanel;

namespace {

// The refresh's writes at 0x378 for a set-point in mode ZEP: the low byte
// strobed into the low latch, then the high byte with the sign in bit 7.
std::vector<PortAccess> refresh_378(int set_point)
{
    const int magnitude = set_point < 0 ? -set_point : set_point;
    const auto lo = static_cast<std::int16_t>(magnitude & 255);
    const auto hi = static_cast<std::int16_t>((magnitude >> 8) | (set_point < 0 ? 128 : 0));
    return {wr(888, lo), wr(890, 3), wr(890, 0), wr(888, hi), wr(890, 1), wr(890, 0)};
}

// ON in mode ZEP at set-point 0, with the timers held: the test runs the
// refresh itself, so the traffic depends on nothing but the gestures.
void power_on_and_hold_timers(WindowPanel& p)
{
    QTest::mouseClick(p.w(ControlId::power_button), Qt::LeftButton);
    for (ControlId t : {ControlId::sync_timer, ControlId::refresh_timer, ControlId::scan_timer})
        p.session.timer(t)->stop();
}

// The latch traffic of one refresh after `mark`.
std::vector<PortAccess> refresh_after(WindowPanel& p, std::size_t mark)
{
    p.controls().refresh_timer.fire();
    return p.since(mark);
}

// Closes any pop-up (menu, open list) that appears while it lives and
// remembers that one did. A menu runs its own event loop; this closes it
// from there, so a test with a menu fails instead of waiting.
class PopupWatch {
public:
    PopupWatch()
    {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] { close_popup(); });
        timer_.start();
    }
    bool seen()
    {
        close_popup();
        return seen_;
    }

private:
    void close_popup()
    {
        if (QWidget* popup = QApplication::activePopupWidget()) {
            seen_ = true;
            popup->close();
        }
    }
    QTimer timer_;
    bool seen_ = false;
};

void wheel(QWidget* w, int delta)
{
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    QWheelEvent e(at, w->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                  Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &e);
}

enum class Gesture {
    KeyUp, KeyPageDown, KeyHome, KeyEnd, KeyLeft, ClickUpper, DoubleClickUpper, RightClick,
    MiddleClick, MenuKey, WheelNotchDown, WheelTwoNotches, WheelFineEight, WheelFineSeven,
};

void perform(Gesture g, QWidget* spin, QWindow* window, QWidget* top)
{
    const QPoint upper = spin->mapTo(top, QPoint(spin->width() / 2, 4));
    switch (g) {
    case Gesture::KeyUp: QTest::keyClick(spin, Qt::Key_Up); break;
    case Gesture::KeyPageDown: QTest::keyClick(spin, Qt::Key_PageDown); break;
    case Gesture::KeyHome: QTest::keyClick(spin, Qt::Key_Home); break;
    case Gesture::KeyEnd: QTest::keyClick(spin, Qt::Key_End); break;
    case Gesture::KeyLeft: QTest::keyClick(spin, Qt::Key_Left); break;
    case Gesture::ClickUpper: QTest::mouseClick(window, Qt::LeftButton, {}, upper); break;
    case Gesture::DoubleClickUpper: QTest::mouseDClick(window, Qt::LeftButton, {}, upper); break;
    case Gesture::RightClick: QTest::mouseClick(window, Qt::RightButton, {}, upper); break;
    case Gesture::MiddleClick: QTest::mouseClick(window, Qt::MiddleButton, {}, upper); break;
    case Gesture::MenuKey: {
        QContextMenuEvent e(QContextMenuEvent::Keyboard, QPoint(2, 2), spin->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(spin, &e);
        break;
    }
    case Gesture::WheelNotchDown: wheel(spin, -120); break;
    case Gesture::WheelTwoNotches: wheel(spin, 240); break;
    case Gesture::WheelFineEight:
        for (int i = 0; i < 8; ++i)
            wheel(spin, 15);
        break;
    case Gesture::WheelFineSeven:
        for (int i = 0; i < 7; ++i)
            wheel(spin, 15);
        break;
    }
}

} // namespace

Q_DECLARE_METATYPE(ControlId)
Q_DECLARE_METATYPE(Gesture)

class GesturesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setQuitOnLastWindowClosed(false);
        // A desktop that scrolls many lines per notch changes nothing here.
        QApplication::setWheelScrollLines(10);
    }

    void a_gesture_moves_a_spin_control_one_step_at_most_data()
    {
        QTest::addColumn<ControlId>("spin");
        QTest::addColumn<Gesture>("gesture");
        QTest::addColumn<int>("steps");
        const ControlId coarse = ControlId::coarse_spin;
        const ControlId fine = ControlId::fine_spin;
        QTest::newRow("Up") << coarse << Gesture::KeyUp << 1;
        QTest::newRow("PageDown") << coarse << Gesture::KeyPageDown << -1;
        QTest::newRow("Home") << coarse << Gesture::KeyHome << 0;
        QTest::newRow("End") << coarse << Gesture::KeyEnd << 0;
        QTest::newRow("Left") << coarse << Gesture::KeyLeft << 0;
        QTest::newRow("click upper arrow") << coarse << Gesture::ClickUpper << 1;
        QTest::newRow("double click: two clicks") << coarse << Gesture::DoubleClickUpper << 2;
        QTest::newRow("right click") << coarse << Gesture::RightClick << 0;
        QTest::newRow("middle click") << coarse << Gesture::MiddleClick << 0;
        QTest::newRow("menu key") << coarse << Gesture::MenuKey << 0;
        QTest::newRow("wheel notch down") << fine << Gesture::WheelNotchDown << -1;
        QTest::newRow("two notches in one event") << coarse << Gesture::WheelTwoNotches << 1;
        QTest::newRow("fine wheel, a whole notch") << coarse << Gesture::WheelFineEight << 1;
        QTest::newRow("fine wheel, short of a notch") << coarse << Gesture::WheelFineSeven << 0;
    }

    void a_gesture_moves_a_spin_control_one_step_at_most()
    {
        QFETCH(ControlId, spin);
        QFETCH(Gesture, gesture);
        QFETCH(int, steps);
        WindowPanel p;
        QVERIFY(p.show_active());
        power_on_and_hold_timers(p);
        QWidget* bar = p.w(spin);
        bar->setFocus(Qt::TabFocusReason);
        const std::size_t mark = p.port.log.size();

        PopupWatch popups;
        perform(gesture, bar, p.window().windowHandle(), &p.window());
        QVERIFY2(!popups.seen(), "a menu appeared");

        const int expected = steps * p.controls()[spin].design().step;
        QCOMPARE(p.controls()[spin].value(), expected);
        QCOMPARE(refresh_after(p, mark), refresh_378(expected));
    }

    void the_wheel_never_changes_a_closed_selector_data()
    {
        QTest::addColumn<ControlId>("selector");
        QTest::addColumn<int>("delta");
        QTest::newRow("mode, wheel down") << ControlId::mode_selector << -120;
        QTest::newRow("mode, wheel up") << ControlId::mode_selector << 120;
        QTest::newRow("port, wheel down") << ControlId::port_selector << -120;
        QTest::newRow("port, wheel up") << ControlId::port_selector << 120;
    }

    void the_wheel_never_changes_a_closed_selector()
    {
        QFETCH(ControlId, selector);
        QFETCH(int, delta);
        WindowPanel p;
        QVERIFY(p.show_active());
        power_on_and_hold_timers(p);
        QTest::mouseClick(p.w(ControlId::port_button), Qt::LeftButton); // the Port panel
        auto* combo = p.w<QComboBox>(selector);
        const int before = combo->currentIndex();
        const std::size_t mark = p.port.log.size();

        for (int notch = 0; notch < 3; ++notch)
            wheel(combo, delta);
        QCOMPARE(combo->currentIndex(), before);
        QCOMPARE(p.controls()[selector].selected(), before);
        QCOMPARE(refresh_after(p, mark), refresh_378(0));

        // Opening the list and choosing the next item still chooses it.
        combo->setFocus(Qt::TabFocusReason);
        QTest::keyClick(combo, Qt::Key_Down, Qt::AltModifier);
        QTRY_VERIFY_WITH_TIMEOUT(combo->view()->isVisible(), 10000);
        QTest::keyClick(combo->view(), Qt::Key_Down);
        QTest::keyClick(combo->view(), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!combo->view()->isVisible(), 10000);
        QCOMPARE(p.controls()[selector].selected(), before + 1);
    }

    void no_control_offers_a_menu()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        power_on_and_hold_timers(p);
        QTest::mouseClick(p.w(ControlId::port_button), Qt::LeftButton);
        QTest::mouseClick(p.w(ControlId::probe_button), Qt::LeftButton);
        const std::size_t mark = p.port.log.size();

        PopupWatch popups;
        for (const korvel::Design& d : korvel::design_table()) {
            QWidget* w = p.window().widget(p.controls().find(d.name)->id());
            if (!w)
                continue; // a timer
            QContextMenuEvent e(QContextMenuEvent::Mouse, QPoint(2, 2), w->mapToGlobal(QPoint(2, 2)));
            QApplication::sendEvent(w, &e);
            QVERIFY2(!popups.seen(), qPrintable(w->objectName()));
        }
        QCOMPARE(refresh_after(p, mark), refresh_378(0));
    }
};

QTEST_MAIN(GesturesTest)
#include "gestures_test.moc"
