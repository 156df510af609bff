// The real window over a recording port: every control built as designed,
// the state after load and activation, power ON, and each way out leaving
// the board safe exactly once.
#include "panel/design.h"
#include "ui/widgets.h"
#include "window_fixture.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleFactory>
#include <QTest>
#include <QTimer>

#include <csignal>

using korvel::ControlId;
using korvel::Kind;
using korvel::PortAccess;
using korvel::wr;
using korvel::test::WindowPanel;
using korvel::test::safe_state_378;


class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        // Closing the window must end the program through the Exit
        // sequence alone.
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void details_of_the_built_controls()
    {
        WindowPanel p;

        // A few places and looks read straight off the design.
        QCOMPARE(p.w(ControlId::reading_box)->geometry(), QRect(32, 24, 257, 77));
        QCOMPARE(p.w(ControlId::exit_button)->geometry(), QRect(648, 520, 49, 17));
        QCOMPARE(p.w(ControlId::medium_spin)->geometry(), QRect(200, 32, 49, 33));
        QCOMPARE(p.w(ControlId::exit_button)->toolTip(), QString("exit"));
        QVERIFY(p.w<QPushButton>(ControlId::port_ok_button)->isFlat());
        QCOMPARE(p.w<QComboBox>(ControlId::mode_selector)->count(), 3);
        QCOMPARE(p.w<QComboBox>(ControlId::mode_selector)->itemText(2), QString("DPC"));
        QCOMPARE(p.w<QComboBox>(ControlId::port_selector)->itemText(2), QString("&H3BC"));
        QVERIFY(!p.w<QComboBox>(ControlId::port_selector)->isEditable());
        QCOMPARE(p.w(ControlId::mode_selector)->font().pixelSize(), 13);
        QVERIFY(p.w(ControlId::mode_selector)->font().bold());
        QCOMPARE(p.w(ControlId::reading_box)->font().pixelSize(), 60);
        QCOMPARE(p.w(ControlId::setpoint_box)->palette().color(QPalette::Window), QColor(Qt::black));
        QCOMPARE(p.w(ControlId::mode_selector)->palette().color(QPalette::Button), QColor(0x404040));
        QCOMPARE(p.w(ControlId::port_selector)->palette().color(QPalette::Button), QColor(0xC0FFC0));

        // The spin controls: step for arrows and pages alike, and a drag
        // that changes the value only when it ends.
        auto* coarse = p.w<QScrollBar>(ControlId::coarse_spin);
        QCOMPARE(coarse->singleStep(), 100);
        QCOMPARE(coarse->pageStep(), 100);
        QVERIFY(!coarse->hasTracking());
        QCOMPARE(coarse->minimum(), -20000);
        QCOMPARE(coarse->maximum(), 20000);
    }

    void texts_fit_their_boxes()
    {
        WindowPanel p;
        struct Case {
            ControlId id;
            const char* text;
        };
        const Case cases[] = {
            {ControlId::reading_box, "+00000"}, {ControlId::reading_box, "- 19999"},
            {ControlId::setpoint_box, "-30000"},       {ControlId::probe_strobe_box, "digits"},
            {ControlId::probe_value_box, "value"},        {ControlId::probe_status_box, "status"},
            {ControlId::probe_magnitude_box, "7530"},         {ControlId::probe_low_box, "FF"},
            {ControlId::probe_high_box, "7F"},          {ControlId::data_address_box, "0x3BE"},
            {ControlId::medium_label, "Medium"},      {ControlId::coarse_label, "Coarse"},
            {ControlId::power_button, "OFF"},       {ControlId::probe_button, "Probe"},
            {ControlId::exit_button, "Exit"},
        };
        for (const Case& c : cases) {
            QWidget* w = p.w(c.id);
            const QFontMetrics fm(w->font());
            const QRect inside = w->contentsRect();
            QVERIFY2(fm.horizontalAdvance(c.text) <= inside.width(),
                     qPrintable(w->objectName() + ": " + c.text));
            QVERIFY2(fm.height() <= inside.height(), qPrintable(w->objectName()));
        }
        // The port selector's text beside its arrow.
        auto* combo = p.w<QComboBox>(ControlId::port_selector);
        QStyleOptionComboBox opt;
        opt.initFrom(combo);
        const QRect field =
            combo->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, combo);
        QVERIFY(QFontMetrics(combo->font()).horizontalAdvance("&H378") <= field.width());
    }

    void after_load_the_panel_is_off_and_the_board_safe()
    {
        WindowPanel p;
        // The load ran before the window was shown: its only port accesses
        // are the reset's safe-state write.
        QCOMPARE(p.port.log, safe_state_378);

        QVERIFY(p.show_active());
        for (ControlId hidden : {ControlId::port_panel, ControlId::output_frame, ControlId::probe_panel,
                                 ControlId::under_mark, ControlId::over_mark})
            QVERIFY2(!p.w(hidden)->isVisible(), qPrintable(p.w(hidden)->objectName()));
        for (ControlId shown : {ControlId::input_frame, ControlId::power_frame, ControlId::setpoint_frame,
                                ControlId::mode_selector, ControlId::reading_box, ControlId::exit_button})
            QVERIFY2(p.w(shown)->isVisible(), qPrintable(p.w(shown)->objectName()));
        for (ControlId spin : {ControlId::coarse_spin, ControlId::medium_spin, ControlId::fine_spin})
            QVERIFY(!p.w(spin)->isEnabled());

        QCOMPARE(p.w<QPushButton>(ControlId::power_button)->text(), QString("ON"));
        QCOMPARE(QApplication::focusWidget(), p.w(ControlId::power_button));
        QCOMPARE(p.w<QLabel>(ControlId::data_address_box)->text(), QString("0x378"));
        QCOMPARE(p.w<QLabel>(ControlId::status_address_box)->text(), QString("0x379"));
        QCOMPARE(p.w<QLabel>(ControlId::control_address_box)->text(), QString("0x37A"));
        QCOMPARE(p.w<QLabel>(ControlId::probe_low_box)->text(), QString("FF"));
        QCOMPARE(p.w<QLabel>(ControlId::probe_high_box)->text(), QString("hi"));
        QCOMPARE(p.w<QLabel>(ControlId::setpoint_box)->text(), QString("0"));
        QCOMPARE(p.w<QLabel>(ControlId::reading_box)->text(), QString("+00000"));
        QCOMPARE(p.w<QComboBox>(ControlId::mode_selector)->currentText(), QString("ZEP"));
        QCOMPARE(p.w<QComboBox>(ControlId::port_selector)->currentText(), QString("&H378"));
        QCOMPARE(p.w<korvel::ui::Lamp>(ControlId::power_lamp)->colour(), QColor(0xC04000));
        QCOMPARE(p.w<korvel::ui::Lamp>(ControlId::conversion_lamp)->colour(), QColor(0x000080));
        QCOMPARE(p.w<korvel::ui::Lamp>(ControlId::q7_lamp)->colour(), QColor(0xE0E0E0));
        for (ControlId t : {ControlId::sync_timer, ControlId::refresh_timer, ControlId::scan_timer})
            QVERIFY(!p.session.timer(t)->isActive());

        // Nothing touches the port while OFF.
        QTest::qWait(100);
        QCOMPARE(p.port.log, safe_state_378);
    }

    void focus_moves_in_the_designed_order()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        QCOMPARE(QApplication::focusWidget(), p.w(ControlId::power_button));
        // power_button (26), probe_button (27), port_button (28); then the hidden OK
        // buttons (29, 30), the labels and frame and the disabled spin
        // controls are passed over up to setpoint_box (38).
        for (ControlId next : {ControlId::probe_button, ControlId::port_button, ControlId::setpoint_box}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), p.w(next));
        }
    }

    void activation_gives_the_focus_to_the_power_button_only_once()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        p.w(ControlId::mode_selector)->setFocus(Qt::MouseFocusReason);

        QWidget other;
        other.resize(50, 50);
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        p.window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&p.window()));
        QCOMPARE(QApplication::focusWidget(), p.w(ControlId::mode_selector));
    }

    void power_on_starts_the_timers_and_enables_the_spin_controls()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::power_button), Qt::LeftButton);

        QTimer* t1 = p.session.timer(ControlId::sync_timer);
        QTimer* t2 = p.session.timer(ControlId::refresh_timer);
        QVERIFY(t1->isActive());
        QCOMPARE(t1->interval(), 10);
        QCOMPARE(t1->timerType(), Qt::PreciseTimer);
        QVERIFY(t2->isActive());
        QCOMPARE(t2->interval(), 100);
        QVERIFY(!p.session.timer(ControlId::scan_timer)->isActive());
        for (ControlId spin : {ControlId::coarse_spin, ControlId::medium_spin, ControlId::fine_spin})
            QVERIFY(p.w(spin)->isEnabled());
        QCOMPARE(p.w<QPushButton>(ControlId::power_button)->text(), QString("OFF"));
        QCOMPARE(p.w<korvel::ui::Lamp>(ControlId::power_lamp)->colour(), QColor(0xFFFF00));

        // The timers really run: the refresh rewrites the latches (data,
        // strobe 3 at the control register) within a generous time.
        const std::size_t mark = p.port.log.size();
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const PortAccess& a : p.since(mark))
                    if (a == wr(890, 1)) // high-latch strobe: only the refresh writes it
                        return true;
                return false;
            }(),
            10000);

        // OFF again: everything stops, and the reset makes the board safe.
        QTest::mouseClick(p.w(ControlId::power_button), Qt::LeftButton);
        QVERIFY(!t1->isActive());
        QVERIFY(!t2->isActive());
        QVERIFY(!p.w(ControlId::coarse_spin)->isEnabled());
        const std::size_t off = p.port.log.size();
        QTest::qWait(150);
        QCOMPARE(p.port.log.size(), off);
    }

    void exit_ends_the_loop_with_the_board_safe()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::power_button), Qt::LeftButton);

        std::size_t mark = 0;
        const int status = p.run(
            [&] {
                mark = p.port.log.size();
                QTest::mouseClick(p.w(ControlId::exit_button), Qt::LeftButton);
            },
            150);
        QCOMPARE(status, 0);
        QVERIFY(p.panel().ended());
        QCOMPARE(p.since(mark), safe_state_378);
        QCOMPARE(p.beeps, 1);
        QVERIFY(!p.window().isVisible());
        for (ControlId t : {ControlId::sync_timer, ControlId::refresh_timer, ControlId::scan_timer})
            QVERIFY(!p.session.timer(t)->isActive());

        // Nothing runs any more: no tick, no click, no close.
        const std::size_t end = p.port.log.size();
        p.w<QPushButton>(ControlId::power_button)->click();
        p.window().close();
        QTest::qWait(150);
        QCOMPARE(p.port.log.size(), end);
        QCOMPARE(p.beeps, 1);
    }

    void closing_the_window_while_off_leaves_the_board_safe()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        std::size_t mark = 0;
        const int status = p.run([&] {
            mark = p.port.log.size();
            p.window().close();
        });
        QCOMPARE(status, 0);
        QVERIFY(p.panel().ended());
        QCOMPARE(p.since(mark), safe_state_378);
        QCOMPARE(p.beeps, 1);
    }

    void a_loop_that_ends_otherwise_still_leaves_the_board_safe_data()
    {
        QTest::addColumn<bool>("closing_windows");
        // quit() closes the windows first; exit() just leaves the loop.
        QTest::newRow("quit") << true;
        QTest::newRow("exit") << false;
    }

    void a_loop_that_ends_otherwise_still_leaves_the_board_safe()
    {
        QFETCH(bool, closing_windows);
        WindowPanel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::power_button), Qt::LeftButton);
        std::size_t mark = 0;
        const int status = p.run(
            [&] {
                mark = p.port.log.size();
                if (closing_windows)
                    QCoreApplication::quit();
                else
                    QCoreApplication::exit(0);
            },
            50);
        QCOMPARE(status, 0);
        QVERIFY(p.panel().ended());
        QCOMPARE(p.exit_traffic(mark), safe_state_378);
        QCOMPARE(p.beeps, 1);
    }

    void termination_signal_runs_the_exit_sequence_once_data()
    {
        QTest::addColumn<int>("sig");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }

    void termination_signal_runs_the_exit_sequence_once()
    {
        QFETCH(int, sig);
        WindowPanel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::power_button), Qt::LeftButton);

        std::size_t mark = 0;
        const int status = p.run(
            [&] {
                mark = p.port.log.size();
                std::raise(sig);
            },
            150);
        QCOMPARE(status, 0);
        QVERIFY(p.panel().ended());
        QCOMPARE(p.exit_traffic(mark), safe_state_378);
        QCOMPARE(p.beeps, 1);

        // A second signal during or after the exit writes nothing more.
        const std::size_t end = p.port.log.size();
        std::raise(sig);
        QTest::qWait(150);
        QCOMPARE(p.port.log.size(), end);
        QCOMPARE(p.beeps, 1);
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
