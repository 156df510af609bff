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
using korvel::test::Panel;
using korvel::test::safe_state_378;

namespace {

QRect twips_to_pixels(const korvel::Design& d)
{
    return {d.left / 15, d.top / 15, d.width / 15, d.height / 15};
}

} // namespace

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

    void every_control_is_built_as_designed()
    {
        Panel p;
        QCOMPARE(p.window().size(), QSize(701, 539));
        QCOMPARE(p.window().minimumSize(), p.window().maximumSize());
        QCOMPARE(p.window().windowTitle(), QString("Zepora : Korvel"));
        QCOMPARE(p.window().windowIcon().availableSizes().value(0), QSize(32, 32));

        int built = 0;
        for (const korvel::Design& d : korvel::design_table()) {
            const QString name = QString::fromUtf8(d.name.data(), d.name.size());
            if (d.kind == Kind::Timer) {
                auto* t = p.window().findChild<QTimer*>(name);
                QVERIFY2(t, qPrintable(name));
                QCOMPARE(t->interval(), d.interval_ms);
                QCOMPARE(t->timerType(), Qt::PreciseTimer);
                ++built;
                continue;
            }
            auto* w = p.window().findChild<QWidget*>(name);
            QVERIFY2(w, qPrintable(name));
            const QString container =
                d.container.empty() ? QString("Form1")
                                    : QString::fromUtf8(d.container.data(), d.container.size());
            QCOMPARE(w->parentWidget()->objectName(), container);
            QCOMPARE(w->geometry(), twips_to_pixels(d));
            const bool takes_focus = d.kind == Kind::TextBox || d.kind == Kind::Button ||
                                     d.kind == Kind::Combo || d.kind == Kind::Spin;
            QCOMPARE(w->focusPolicy() != Qt::NoFocus, takes_focus);
            ++built;
        }
        QCOMPARE(built, 58);

        // A few places and looks read straight off the design.
        QCOMPARE(p.w(ControlId::dvm_reading)->geometry(), QRect(32, 24, 257, 77));
        QCOMPARE(p.w(ControlId::Command12)->geometry(), QRect(648, 520, 49, 17));
        QCOMPARE(p.w(ControlId::VScroll2)->geometry(), QRect(200, 32, 49, 33));
        QCOMPARE(p.w(ControlId::Command12)->toolTip(), QString("exit"));
        QVERIFY(p.w<QPushButton>(ControlId::Command14)->isFlat());
        QCOMPARE(p.w<QComboBox>(ControlId::Combo2)->count(), 3);
        QCOMPARE(p.w<QComboBox>(ControlId::Combo2)->itemText(2), QString("DPC"));
        QCOMPARE(p.w<QComboBox>(ControlId::Combo1)->itemText(2), QString("&H3BC"));
        QVERIFY(!p.w<QComboBox>(ControlId::Combo1)->isEditable());
        QCOMPARE(p.w(ControlId::Combo2)->font().pixelSize(), 13);
        QVERIFY(p.w(ControlId::Combo2)->font().bold());
        QCOMPARE(p.w(ControlId::dvm_reading)->font().pixelSize(), 60);
        QCOMPARE(p.w(ControlId::Text8)->palette().color(QPalette::Window), QColor(Qt::black));
        QCOMPARE(p.w(ControlId::Combo2)->palette().color(QPalette::Button), QColor(0x404040));
        QCOMPARE(p.w(ControlId::Combo1)->palette().color(QPalette::Button), QColor(0xC0FFC0));

        // The spin controls: step for arrows and pages alike, and a drag
        // that changes the value only when it ends.
        auto* coarse = p.w<QScrollBar>(ControlId::VScroll1);
        QCOMPARE(coarse->singleStep(), 100);
        QCOMPARE(coarse->pageStep(), 100);
        QVERIFY(!coarse->hasTracking());
        QCOMPARE(coarse->minimum(), -20000);
        QCOMPARE(coarse->maximum(), 20000);
    }

    void texts_fit_their_boxes()
    {
        Panel p;
        struct Case {
            ControlId id;
            const char* text;
        };
        const Case cases[] = {
            {ControlId::dvm_reading, "+00000"}, {ControlId::dvm_reading, "- 19999"},
            {ControlId::Text8, "-30000"},       {ControlId::Text4, "digits"},
            {ControlId::Text5, "value"},        {ControlId::Text6, "status"},
            {ControlId::Text9, "7530"},         {ControlId::Text7, "FF"},
            {ControlId::Text10, "7F"},          {ControlId::Text1, "0x3BE"},
            {ControlId::Label8, "Medium"},      {ControlId::Label6, "Coarse"},
            {ControlId::Command9, "OFF"},       {ControlId::Command10, "Probe"},
            {ControlId::Command12, "Exit"},
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
        auto* combo = p.w<QComboBox>(ControlId::Combo1);
        QStyleOptionComboBox opt;
        opt.initFrom(combo);
        const QRect field =
            combo->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, combo);
        QVERIFY(QFontMetrics(combo->font()).horizontalAdvance("&H378") <= field.width());
    }

    void after_load_the_panel_is_off_and_the_board_safe()
    {
        Panel p;
        // The load ran before the window was shown: its only port accesses
        // are the reset's safe-state write.
        QCOMPARE(p.port.log, safe_state_378);

        QVERIFY(p.show_active());
        for (ControlId hidden : {ControlId::Frame1, ControlId::Frame3, ControlId::Frame5,
                                 ControlId::Label5, ControlId::Label1})
            QVERIFY2(!p.w(hidden)->isVisible(), qPrintable(p.w(hidden)->objectName()));
        for (ControlId shown : {ControlId::Frame2, ControlId::Frame4, ControlId::Frame6,
                                ControlId::Combo2, ControlId::dvm_reading, ControlId::Command12})
            QVERIFY2(p.w(shown)->isVisible(), qPrintable(p.w(shown)->objectName()));
        for (ControlId spin : {ControlId::VScroll1, ControlId::VScroll2, ControlId::VScroll3})
            QVERIFY(!p.w(spin)->isEnabled());

        QCOMPARE(p.w<QPushButton>(ControlId::Command9)->text(), QString("ON"));
        QCOMPARE(QApplication::focusWidget(), p.w(ControlId::Command9));
        QCOMPARE(p.w<QLabel>(ControlId::Text1)->text(), QString("0x378"));
        QCOMPARE(p.w<QLabel>(ControlId::Text2)->text(), QString("0x379"));
        QCOMPARE(p.w<QLabel>(ControlId::Text3)->text(), QString("0x37A"));
        QCOMPARE(p.w<QLabel>(ControlId::Text7)->text(), QString("FF"));
        QCOMPARE(p.w<QLabel>(ControlId::Text10)->text(), QString("hi"));
        QCOMPARE(p.w<QLabel>(ControlId::Text8)->text(), QString("0"));
        QCOMPARE(p.w<QLabel>(ControlId::dvm_reading)->text(), QString("+00000"));
        QCOMPARE(p.w<QComboBox>(ControlId::Combo2)->currentText(), QString("ZEP"));
        QCOMPARE(p.w<QComboBox>(ControlId::Combo1)->currentText(), QString("&H378"));
        QCOMPARE(p.w<korvel::ui::Lamp>(ControlId::Shape10)->colour(), QColor(0xC04000));
        QCOMPARE(p.w<korvel::ui::Lamp>(ControlId::Shape9)->colour(), QColor(0x000080));
        QCOMPARE(p.w<korvel::ui::Lamp>(ControlId::Shape1)->colour(), QColor(0xE0E0E0));
        for (ControlId t : {ControlId::Timer1, ControlId::Timer2, ControlId::Timer3})
            QVERIFY(!p.window().timer(t)->isActive());

        // Nothing touches the port while OFF.
        QTest::qWait(100);
        QCOMPARE(p.port.log, safe_state_378);
    }

    void focus_moves_in_the_designed_order()
    {
        Panel p;
        QVERIFY(p.show_active());
        QCOMPARE(QApplication::focusWidget(), p.w(ControlId::Command9));
        // Command9 (26), Command10 (27), Command11 (28); then the hidden OK
        // buttons (29, 30), the labels and frame and the disabled spin
        // controls are passed over up to Text8 (38).
        for (ControlId next : {ControlId::Command10, ControlId::Command11, ControlId::Text8}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), p.w(next));
        }
    }

    void activation_gives_the_focus_to_the_power_button_only_once()
    {
        Panel p;
        QVERIFY(p.show_active());
        p.w(ControlId::Combo2)->setFocus(Qt::MouseFocusReason);

        QWidget other;
        other.resize(50, 50);
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        p.window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&p.window()));
        QCOMPARE(QApplication::focusWidget(), p.w(ControlId::Combo2));
    }

    void power_on_starts_the_timers_and_enables_the_spin_controls()
    {
        Panel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::Command9), Qt::LeftButton);

        QTimer* t1 = p.window().timer(ControlId::Timer1);
        QTimer* t2 = p.window().timer(ControlId::Timer2);
        QVERIFY(t1->isActive());
        QCOMPARE(t1->interval(), 10);
        QCOMPARE(t1->timerType(), Qt::PreciseTimer);
        QVERIFY(t2->isActive());
        QCOMPARE(t2->interval(), 100);
        QVERIFY(!p.window().timer(ControlId::Timer3)->isActive());
        for (ControlId spin : {ControlId::VScroll1, ControlId::VScroll2, ControlId::VScroll3})
            QVERIFY(p.w(spin)->isEnabled());
        QCOMPARE(p.w<QPushButton>(ControlId::Command9)->text(), QString("OFF"));
        QCOMPARE(p.w<korvel::ui::Lamp>(ControlId::Shape10)->colour(), QColor(0xFFFF00));

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
        QTest::mouseClick(p.w(ControlId::Command9), Qt::LeftButton);
        QVERIFY(!t1->isActive());
        QVERIFY(!t2->isActive());
        QVERIFY(!p.w(ControlId::VScroll1)->isEnabled());
        const std::size_t off = p.port.log.size();
        QTest::qWait(150);
        QCOMPARE(p.port.log.size(), off);
    }

    void exit_ends_the_loop_with_the_board_safe()
    {
        Panel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::Command9), Qt::LeftButton);

        std::size_t mark = 0;
        const int status = p.run(
            [&] {
                mark = p.port.log.size();
                QTest::mouseClick(p.w(ControlId::Command12), Qt::LeftButton);
            },
            150);
        QCOMPARE(status, 0);
        QVERIFY(p.form().ended());
        QCOMPARE(p.since(mark), safe_state_378);
        QCOMPARE(p.beeps, 1);
        QVERIFY(!p.window().isVisible());
        for (ControlId t : {ControlId::Timer1, ControlId::Timer2, ControlId::Timer3})
            QVERIFY(!p.window().timer(t)->isActive());

        // Nothing runs any more: no tick, no click, no close.
        const std::size_t end = p.port.log.size();
        p.w<QPushButton>(ControlId::Command9)->click();
        p.window().close();
        QTest::qWait(150);
        QCOMPARE(p.port.log.size(), end);
        QCOMPARE(p.beeps, 1);
    }

    void closing_the_window_while_off_leaves_the_board_safe()
    {
        Panel p;
        QVERIFY(p.show_active());
        std::size_t mark = 0;
        const int status = p.run([&] {
            mark = p.port.log.size();
            p.window().close();
        });
        QCOMPARE(status, 0);
        QVERIFY(p.form().ended());
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
        Panel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::Command9), Qt::LeftButton);
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
        QVERIFY(p.form().ended());
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
        Panel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::Command9), Qt::LeftButton);

        std::size_t mark = 0;
        const int status = p.run(
            [&] {
                mark = p.port.log.size();
                std::raise(sig);
            },
            150);
        QCOMPARE(status, 0);
        QVERIFY(p.form().ended());
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
