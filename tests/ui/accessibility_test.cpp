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
using korvel::test::Panel;

namespace {

QString qs(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

QAccessibleInterface* accessible(Panel& p, ControlId id)
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

QString spoken(Panel& p, ControlId id) { return accessible(p, id)->text(QAccessible::Value); }

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
        Panel p;
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
        QCOMPARE(heard_name(accessible(p, ControlId::Combo2)), QString("Mode"));
    }

    void read_outs_lamps_and_spin_controls_speak_their_live_value()
    {
        Panel p;
        QVERIFY(p.show_active());
        korvel::Form1& f = p.form();
        struct Case {
            const char* what;
            std::function<void()> act;
            ControlId id;
            QString value;
        };
        const Case cases[] = {
            {"power lamp OFF", [] {}, ControlId::Shape10, "off"},
            {"power ON", [&] { QTest::mouseClick(p.w(ControlId::Command9), Qt::LeftButton); },
             ControlId::Shape10, "on"},
            {"reading over range", [&] { f.c.Label1.set_visible(true); }, ControlId::dvm_reading,
             "over range, +00000"},
            {"reading under range",
             [&] {
                 f.c.Label1.set_visible(false);
                 f.c.Label5.set_visible(true);
                 f.c.dvm_reading.set_text("- 00700");
             },
             ControlId::dvm_reading, "under range, - 00700"},
            {"converting", [&] { f.c.Shape9.set_colour(0xFF0000); }, ControlId::Shape9,
             "converting"},
            {"set-point", [&] { QTest::keyClick(p.w(ControlId::VScroll2), Qt::Key_Down); },
             ControlId::Text8, "-10"},
            {"spin control, model value", [] {}, ControlId::VScroll2, "-10"},
            {"output bit on", [&] {
                 f.c.Combo2.select("DPC");
                 QTest::mouseClick(p.w(ControlId::Command2), Qt::LeftButton);
             },
             ControlId::Shape2, "on"},
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
        Panel p;
        QVERIFY(p.show_active());
        QTest::mouseClick(p.w(ControlId::Command9), Qt::LeftButton);
        QAccessibleInterface* coarse = accessible(p, ControlId::VScroll1);
        QAccessibleValueInterface* value = coarse->valueInterface();
        QVERIFY(value);
        QCOMPARE(value->minimumValue().toInt(), -20000);
        QCOMPARE(value->maximumValue().toInt(), 20000);
        QCOMPARE(value->minimumStepSize().toInt(), 100);

        value->setCurrentValue(20000);
        QCOMPARE(p.form().c.VScroll1.value(), 0);
        coarse->actionInterface()->doAction(QAccessibleActionInterface::increaseAction());
        QCOMPARE(value->currentValue().toInt(), 100);
        coarse->actionInterface()->doAction(QAccessibleActionInterface::decreaseAction());
        coarse->actionInterface()->doAction(QAccessibleActionInterface::decreaseAction());
        QCOMPARE(p.form().c.VScroll1.value(), -100);
        QCOMPARE(spoken(p, ControlId::Text8), QString("-100"));
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
        Panel p;
        QVERIFY(p.show_active());
        // ON, the chosen mode, both panels open: everything that can be used.
        QTest::mouseClick(p.w(ControlId::Command9), Qt::LeftButton);
        p.form().c.Combo2.select(mode.toStdString());
        QTest::mouseClick(p.w(ControlId::Command10), Qt::LeftButton);
        QTest::mouseClick(p.w(ControlId::Command11), Qt::LeftButton);

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
