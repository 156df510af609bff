// The user's events through the real window reach the panel's logic: spin
// control arrows and keys, the bit buttons, the mode selector and the pop-up
// panels.
#include "ui/widgets.h"
#include "window_fixture.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleFactory>
#include <QTest>

using korvel::ControlId;
using korvel::test::WindowPanel;

namespace {

// Clicks the upper or lower arrow button of a spin control.
void click_arrow(QWidget* spin, bool up)
{
    const QPoint at(spin->width() / 2, up ? 4 : spin->height() - 4);
    QTest::mouseClick(spin, Qt::LeftButton, {}, at);
}

} // namespace

class ControlsTest : public QObject {
    Q_OBJECT

    QString text(WindowPanel& p, ControlId id) { return p.w<QLabel>(id)->text(); }

private slots:
    void initTestCase()
    {
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void spin_arrows_move_the_set_point_by_their_step()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        // While OFF the spin controls are disabled: a click changes nothing.
        click_arrow(p.w(ControlId::coarse_spin), true);
        QCOMPARE(text(p, ControlId::setpoint_box), QString("0"));

        QTest::mouseClick(p.w(ControlId::power_button), Qt::LeftButton);
        click_arrow(p.w(ControlId::coarse_spin), true);
        QCOMPARE(text(p, ControlId::setpoint_box), QString("100"));
        click_arrow(p.w(ControlId::medium_spin), true);
        QCOMPARE(text(p, ControlId::setpoint_box), QString("110"));
        click_arrow(p.w(ControlId::fine_spin), true);
        QCOMPARE(text(p, ControlId::setpoint_box), QString("111"));
        QCOMPARE(p.controls().fine_spin.value(), 1);

        // The lower arrow lowers.
        click_arrow(p.w(ControlId::coarse_spin), false);
        click_arrow(p.w(ControlId::coarse_spin), false);
        QCOMPARE(text(p, ControlId::setpoint_box), QString("-89"));
        QCOMPARE(p.controls().coarse_spin.value(), -100);
        // The Probe panel's magnitude and sign follow.
        QCOMPARE(text(p, ControlId::probe_magnitude_box), QString("59"));
    }

    void spin_keys_follow_the_arrows()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::power_button), Qt::LeftButton);
        QWidget* medium = p.w(ControlId::medium_spin);
        medium->setFocus(Qt::TabFocusReason);
        QTest::keyClick(medium, Qt::Key_Up);
        QCOMPARE(text(p, ControlId::setpoint_box), QString("10"));
        QTest::keyClick(medium, Qt::Key_PageUp);
        QCOMPARE(text(p, ControlId::setpoint_box), QString("20"));
        QTest::keyClick(medium, Qt::Key_Down);
        QTest::keyClick(medium, Qt::Key_PageDown);
        QTest::keyClick(medium, Qt::Key_PageDown);
        QCOMPARE(text(p, ControlId::setpoint_box), QString("-10"));
        QCOMPARE(p.controls().medium_spin.value(), -10);
    }

    void spin_at_a_range_end_neither_moves_nor_fires()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::power_button), Qt::LeftButton);
        korvel::Control& fine = p.controls().fine_spin;
        fine.set_value(5000);
        QCOMPARE(text(p, ControlId::setpoint_box), QString("5000"));

        int fired = 0;
        auto composition = fine.handler;
        fine.handler = [&] {
            ++fired;
            composition();
        };
        click_arrow(p.w(ControlId::fine_spin), true);
        QTest::keyClick(p.w(ControlId::fine_spin), Qt::Key_PageUp);
        QCOMPARE(fired, 0);
        QCOMPARE(fine.value(), 5000);
        QCOMPARE(text(p, ControlId::setpoint_box), QString("5000"));

        // The other way it moves, and fires once per step.
        click_arrow(p.w(ControlId::fine_spin), false);
        QCOMPARE(fired, 1);
        QCOMPARE(fine.value(), 4999);

        fine.set_value(-5000);
        fired = 0;
        click_arrow(p.w(ControlId::fine_spin), false);
        QCOMPARE(fired, 0);
        QCOMPARE(fine.value(), -5000);
    }

    void mode_selector_shows_the_mode_group_and_bits_light_their_lamps()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::power_button), Qt::LeftButton);
        auto* mode = p.w<QComboBox>(ControlId::mode_selector);
        mode->setFocus(Qt::TabFocusReason);

        // As a user chooses: each arrow key is a choice of the next item.
        QTest::keyClick(mode, Qt::Key_Down);
        QCOMPARE(p.controls().mode_selector.text(), "DVM");
        QVERIFY(!p.w(ControlId::output_frame)->isVisible());
        QVERIFY(!p.w(ControlId::setpoint_frame)->isVisible());
        QTest::keyClick(mode, Qt::Key_Down);
        QCOMPARE(p.controls().mode_selector.text(), "DPC");
        QVERIFY(p.w(ControlId::output_frame)->isVisible());
        QVERIFY(!p.w(ControlId::setpoint_frame)->isVisible());

        auto* q7 = p.w<korvel::ui::Lamp>(ControlId::q7_lamp);
        QTest::mouseClick(p.w(ControlId::q7_button), Qt::LeftButton);
        QCOMPARE(q7->colour(), QColor(0xFF8000));
        QCOMPARE(p.panel().output().bit(7), true);
        QCOMPARE(p.w<korvel::ui::Lamp>(ControlId::q6_lamp)->colour(), QColor(0xE0E0E0));
        QTest::mouseClick(p.w(ControlId::q7_button), Qt::LeftButton);
        QCOMPARE(q7->colour(), QColor(0xE0E0E0));

        // Back to "ZEP": the set-point group as it was.
        QTest::keyClick(mode, Qt::Key_Up);
        QTest::keyClick(mode, Qt::Key_Up);
        QCOMPARE(mode->currentText(), QString("ZEP"));
        QVERIFY(p.w(ControlId::setpoint_frame)->isVisible());
        QVERIFY(!p.w(ControlId::output_frame)->isVisible());
    }

    void panel_buttons_open_and_close_their_panels()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        QWidget* port = p.w(ControlId::port_panel);
        QWidget* probe = p.w(ControlId::probe_panel);
        QTest::mouseClick(p.w(ControlId::port_button), Qt::LeftButton);
        QVERIFY(port->isVisible());
        QVERIFY(p.w(ControlId::data_address_box)->isVisible());
        QTest::mouseClick(p.w(ControlId::probe_button), Qt::LeftButton);
        QVERIFY(probe->isVisible());
        // Each "OK" closes its own panel only.
        QTest::mouseClick(p.w(ControlId::port_ok_button), Qt::LeftButton);
        QVERIFY(!port->isVisible());
        QVERIFY(probe->isVisible());
        QTest::mouseClick(p.w(ControlId::probe_ok_button), Qt::LeftButton);
        QVERIFY(!probe->isVisible());

        // A port chosen in the hidden panel's selector is kept.
        QTest::mouseClick(p.w(ControlId::port_button), Qt::LeftButton);
        auto* selector = p.w<QComboBox>(ControlId::port_selector);
        selector->setFocus(Qt::TabFocusReason);
        QTest::keyClick(selector, Qt::Key_Down);
        QCOMPARE(text(p, ControlId::data_address_box), QString("0x278"));
        QTest::mouseClick(p.w(ControlId::port_button), Qt::LeftButton);
        QTest::mouseClick(p.w(ControlId::port_button), Qt::LeftButton);
        QCOMPARE(selector->currentText(), QString("&H278"));
    }
};

QTEST_MAIN(ControlsTest)
#include "controls_test.moc"
