// What assistive technology gets from the real window: plain words for every
// control, live values for the read-outs, lamps and spin controls, and every
// control reachable with Tab in the designed order.
#include "ui/widgets.h"
#include "window_fixture.h"

#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QRegularExpression>
#include <QSet>
#include <QStyleFactory>
#include <QTest>

#include <algorithm>
#include <functional>

using korvel::ControlId;
using korvel::Kind;
using korvel::test::WindowPanel;

namespace {

QString qs(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

QAccessibleInterface* accessible(WindowPanel& p, ControlId id)
{
    return QAccessible::queryAccessibleInterface(p.w(id));
}

// The name a screen reader gives a control. On Linux the toolkit names a
// drop-down list by its current item; what the list is comes from its label.
QString heard_name(QAccessibleInterface* iface)
{
    if (iface->role() != QAccessible::ComboBox)
        return iface->text(QAccessible::Name);
    const auto labels = iface->relations(QAccessible::Label);
    return labels.isEmpty() ? QString() : labels.first().first->text(QAccessible::Name);
}

QString spoken(WindowPanel& p, ControlId id) { return accessible(p, id)->text(QAccessible::Value); }

} // namespace

class AccessibilityTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void every_control_has_a_name_in_plain_words()
    {
        WindowPanel p;
        QStringList design_names;
        for (const korvel::Design& d : korvel::design_table())
            design_names << qs(d.name);
        const QRegularExpression code_like(QStringLiteral("_|^[A-Za-z]+[0-9]+$"));

        QStringList names;
        for (const korvel::Design& d : korvel::design_table()) {
            if (d.kind == Kind::Timer)
                continue;
            QWidget* w = p.window().findChild<QWidget*>(qs(d.name));
            QVERIFY2(w, d.name.data());
            QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
            QVERIFY(iface);
            const QString name = heard_name(iface);
            QVERIFY2(!name.isEmpty(), d.name.data());
            QVERIFY2(!design_names.contains(name, Qt::CaseInsensitive), qPrintable(name));
            QVERIFY2(!code_like.match(name).hasMatch(), qPrintable(name));
            if (d.kind == Kind::Frame)
                QCOMPARE(name, static_cast<QGroupBox*>(w)->title());
            names << name;
        }
        // Controls of the same kind are told apart.
        QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), names.size());
        QCOMPARE(heard_name(accessible(p, ControlId::mode_selector)), QString("Mode"));
    }

    void read_outs_lamps_and_spin_controls_speak_their_live_value()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        korvel::Controls& c = p.controls();
        struct Case {
            const char* what;
            std::function<void()> act;
            ControlId id;
            QString value;
        };
        const Case cases[] = {
            {"power lamp OFF", [] {}, ControlId::power_lamp, "off"},
            {"power ON", [&] { QTest::mouseClick(p.w(ControlId::power_button), Qt::LeftButton); },
             ControlId::power_lamp, "on"},
            {"reading over range", [&] { c.over_mark.set_visible(true); }, ControlId::reading_box,
             "over range, +00000"},
            {"reading under range",
             [&] {
                 c.over_mark.set_visible(false);
                 c.under_mark.set_visible(true);
                 c.reading_box.set_text("- 00700");
             },
             ControlId::reading_box, "under range, - 00700"},
            {"converting", [&] { c.conversion_lamp.set_colour(0xFF0000); }, ControlId::conversion_lamp,
             "converting"},
            {"set-point", [&] { QTest::keyClick(p.w(ControlId::medium_spin), Qt::Key_Down); },
             ControlId::setpoint_box, "-10"},
            {"spin control, model value", [] {}, ControlId::medium_spin, "-10"},
            {"output bit on", [&] {
                 c.mode_selector.select("DPC");
                 QTest::mouseClick(p.w(ControlId::q6_button), Qt::LeftButton);
             },
             ControlId::q6_lamp, "on"},
        };
        for (const Case& c : cases) {
            c.act();
            QAccessibleInterface* iface = accessible(p, c.id);
            QCOMPARE(iface->text(QAccessible::Value), c.value);
            if (QAccessibleTextInterface* text = iface->textInterface())
                QCOMPARE(text->text(0, text->characterCount()), c.value);
            QVERIFY2(iface->text(QAccessible::Value) != iface->text(QAccessible::Name), c.what);
        }
    }

    void a_spin_control_takes_no_value_from_outside_only_steps()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::power_button), Qt::LeftButton);
        QAccessibleInterface* coarse = accessible(p, ControlId::coarse_spin);
        QAccessibleValueInterface* value = coarse->valueInterface();
        QVERIFY(value);
        QCOMPARE(value->minimumValue().toInt(), -20000);
        QCOMPARE(value->maximumValue().toInt(), 20000);
        QCOMPARE(value->minimumStepSize().toInt(), 100);

        value->setCurrentValue(20000);
        QCOMPARE(p.controls().coarse_spin.value(), 0);
        coarse->actionInterface()->doAction(QAccessibleActionInterface::increaseAction());
        QCOMPARE(value->currentValue().toInt(), 100);
        coarse->actionInterface()->doAction(QAccessibleActionInterface::decreaseAction());
        coarse->actionInterface()->doAction(QAccessibleActionInterface::decreaseAction());
        QCOMPARE(p.controls().coarse_spin.value(), -100);
        QCOMPARE(spoken(p, ControlId::setpoint_box), QString("-100"));
    }

    void tab_reaches_every_control_in_the_designed_order_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("ZEP") << "ZEP";
        QTest::newRow("DPC") << "DPC";
    }

    void tab_reaches_every_control_in_the_designed_order()
    {
        QFETCH(QString, mode);
        WindowPanel p;
        QVERIFY(p.show_active());
        // ON, the chosen mode, both panels open: everything that can be used.
        QTest::mouseClick(p.w(ControlId::power_button), Qt::LeftButton);
        p.controls().mode_selector.select(mode.toStdString());
        QTest::mouseClick(p.w(ControlId::probe_button), Qt::LeftButton);
        QTest::mouseClick(p.w(ControlId::port_button), Qt::LeftButton);

        std::vector<std::pair<int, QWidget*>> order;
        for (const korvel::Design& d : korvel::design_table()) {
            QWidget* w = p.window().findChild<QWidget*>(qs(d.name));
            if (w && w->focusPolicy() != Qt::NoFocus && w->isVisible() && w->isEnabled())
                order.emplace_back(d.tab, w);
        }
        std::sort(order.begin(), order.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });

        order.front().second->setFocus(Qt::TabFocusReason);
        for (std::size_t i = 1; i <= order.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* expected = order[i % order.size()].second;
            QVERIFY2(QApplication::focusWidget() == expected, qPrintable(expected->objectName()));
        }
    }
};

QTEST_MAIN(AccessibilityTest)
#include "accessibility_test.moc"
