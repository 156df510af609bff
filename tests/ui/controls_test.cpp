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
using korvel::test::Panel;

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

    QString text(Panel& p, ControlId id) { return p.w<QLabel>(id)->text(); }

private slots:
    void initTestCase()
    {
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void spin_arrows_move_the_set_point_by_their_step()
    {
        Panel p;
        QVERIFY(p.show_active());
        // While OFF the spin controls are disabled: a click changes nothing.
        click_arrow(p.w(ControlId::VScroll1), true);
        QCOMPARE(text(p, ControlId::Text8), QString("0"));

        QTest::mouseClick(p.w(ControlId::Command9), Qt::LeftButton);
        click_arrow(p.w(ControlId::VScroll1), true);
        QCOMPARE(text(p, ControlId::Text8), QString("100"));
        click_arrow(p.w(ControlId::VScroll2), true);
        QCOMPARE(text(p, ControlId::Text8), QString("110"));
        click_arrow(p.w(ControlId::VScroll3), true);
        QCOMPARE(text(p, ControlId::Text8), QString("111"));
        QCOMPARE(p.form().c.VScroll3.value(), 1);

        // The lower arrow lowers.
        click_arrow(p.w(ControlId::VScroll1), false);
        click_arrow(p.w(ControlId::VScroll1), false);
        QCOMPARE(text(p, ControlId::Text8), QString("-89"));
        QCOMPARE(p.form().c.VScroll1.value(), -100);
        // The Probe panel's magnitude and sign follow.
        QCOMPARE(text(p, ControlId::Text9), QString("59"));
    }

    void spin_keys_follow_the_arrows()
    {
        Panel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::Command9), Qt::LeftButton);
        QWidget* medium = p.w(ControlId::VScroll2);
        medium->setFocus(Qt::TabFocusReason);
        QTest::keyClick(medium, Qt::Key_Up);
        QCOMPARE(text(p, ControlId::Text8), QString("10"));
        QTest::keyClick(medium, Qt::Key_PageUp);
        QCOMPARE(text(p, ControlId::Text8), QString("20"));
        QTest::keyClick(medium, Qt::Key_Down);
        QTest::keyClick(medium, Qt::Key_PageDown);
        QTest::keyClick(medium, Qt::Key_PageDown);
        QCOMPARE(text(p, ControlId::Text8), QString("-10"));
        QCOMPARE(p.form().c.VScroll2.value(), -10);
    }

    void spin_at_a_range_end_neither_moves_nor_fires()
    {
        Panel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::Command9), Qt::LeftButton);
        korvel::Control& fine = p.form().c.VScroll3;
        fine.set_value(5000);
        QCOMPARE(text(p, ControlId::Text8), QString("5000"));

        int fired = 0;
        auto composition = fine.handler;
        fine.handler = [&] {
            ++fired;
            composition();
        };
        click_arrow(p.w(ControlId::VScroll3), true);
        QTest::keyClick(p.w(ControlId::VScroll3), Qt::Key_PageUp);
        QCOMPARE(fired, 0);
        QCOMPARE(fine.value(), 5000);
        QCOMPARE(text(p, ControlId::Text8), QString("5000"));

        // The other way it moves, and fires once per step.
        click_arrow(p.w(ControlId::VScroll3), false);
        QCOMPARE(fired, 1);
        QCOMPARE(fine.value(), 4999);

        fine.set_value(-5000);
        fired = 0;
        click_arrow(p.w(ControlId::VScroll3), false);
        QCOMPARE(fired, 0);
        QCOMPARE(fine.value(), -5000);
    }

    void mode_selector_shows_the_mode_group_and_bits_light_their_lamps()
    {
        Panel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::Command9), Qt::LeftButton);
        auto* mode = p.w<QComboBox>(ControlId::Combo2);
        mode->setFocus(Qt::TabFocusReason);

        // As a user chooses: each arrow key is a choice of the next item.
        QTest::keyClick(mode, Qt::Key_Down);
        QCOMPARE(p.form().c.Combo2.text(), "DVM");
        QVERIFY(!p.w(ControlId::Frame3)->isVisible());
        QVERIFY(!p.w(ControlId::Frame6)->isVisible());
        QTest::keyClick(mode, Qt::Key_Down);
        QCOMPARE(p.form().c.Combo2.text(), "DPC");
        QVERIFY(p.w(ControlId::Frame3)->isVisible());
        QVERIFY(!p.w(ControlId::Frame6)->isVisible());

        auto* q7 = p.w<korvel::ui::Lamp>(ControlId::Shape1);
        QTest::mouseClick(p.w(ControlId::Command1), Qt::LeftButton);
        QCOMPARE(q7->colour(), QColor(0xFF8000));
        QCOMPARE(p.form().st.q7, 1);
        QCOMPARE(p.w<korvel::ui::Lamp>(ControlId::Shape2)->colour(), QColor(0xE0E0E0));
        QTest::mouseClick(p.w(ControlId::Command1), Qt::LeftButton);
        QCOMPARE(q7->colour(), QColor(0xE0E0E0));

        // Back to "ZEP": the set-point group as it was.
        QTest::keyClick(mode, Qt::Key_Up);
        QTest::keyClick(mode, Qt::Key_Up);
        QCOMPARE(mode->currentText(), QString("ZEP"));
        QVERIFY(p.w(ControlId::Frame6)->isVisible());
        QVERIFY(!p.w(ControlId::Frame3)->isVisible());
    }

    void panel_buttons_open_and_close_their_panels()
    {
        Panel p;
        QVERIFY(p.show_active());
        QWidget* port = p.w(ControlId::Frame1);
        QWidget* probe = p.w(ControlId::Frame5);
        QTest::mouseClick(p.w(ControlId::Command11), Qt::LeftButton);
        QVERIFY(port->isVisible());
        QVERIFY(p.w(ControlId::Text1)->isVisible());
        QTest::mouseClick(p.w(ControlId::Command10), Qt::LeftButton);
        QVERIFY(probe->isVisible());
        // Each "OK" closes its own panel only.
        QTest::mouseClick(p.w(ControlId::Command14), Qt::LeftButton);
        QVERIFY(!port->isVisible());
        QVERIFY(probe->isVisible());
        QTest::mouseClick(p.w(ControlId::Command13), Qt::LeftButton);
        QVERIFY(!probe->isVisible());

        // A port chosen in the hidden panel's selector is kept.
        QTest::mouseClick(p.w(ControlId::Command11), Qt::LeftButton);
        auto* selector = p.w<QComboBox>(ControlId::Combo1);
        selector->setFocus(Qt::TabFocusReason);
        QTest::keyClick(selector, Qt::Key_Down);
        QCOMPARE(text(p, ControlId::Text1), QString("0x278"));
        QTest::mouseClick(p.w(ControlId::Command11), Qt::LeftButton);
        QTest::mouseClick(p.w(ControlId::Command11), Qt::LeftButton);
        QCOMPARE(selector->currentText(), QString("&H278"));
    }
};

QTEST_MAIN(ControlsTest)
#include "controls_test.moc"
