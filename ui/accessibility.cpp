#include "ui/accessibility.h"

#include "ui/widgets.h"

#include <QAccessibleWidget>

namespace korvel::ui {

Words words_for(ControlId id)
{
    using C = ControlId;
    // A switch over every control: the compiler reports a control left out.
    switch (id) {
    case C::Combo2:
        return {"Mode", "ZEP drives the set-point, DVM shows the voltmeter alone, "
                        "DPC drives the eight digital outputs"};
    case C::Frame2: return {"Input", "Voltmeter display"};
    case C::Frame1: return {"Port", "Port address and register addresses"};
    case C::Frame6: return {"Potentiometer", "Set-point controls"};
    case C::Frame5: return {"Probe", "Raw bytes as they pass"};
    case C::Frame3: return {"Output", "Digital outputs Q7 to Q0"};
    case C::Command10: return {"Probe panel", "Opens or closes the Probe panel"};
    case C::Command11: return {"Port panel", "Opens or closes the Port panel"};
    case C::Frame4: return {"Power", ""};
    case C::Command12:
        return {"Exit", "Puts the board into the safe state and ends the program"};
    case C::Timer1:
    case C::Timer2:
    case C::Timer3: return {};
    case C::dvm_reading:
        return {"Voltmeter reading",
                "Sign and five digits, after over range or under range when the "
                "converter is out of range"};
    case C::Label1: return {"Over range", "Shown while the converter is over range"};
    case C::Label5: return {"Under range", "Shown while the converter is under range"};
    case C::Shape9: return {"Conversion lamp", "Converting while the voltmeter converts"};
    case C::Text8: return {"Set-point", "Sum of the coarse, medium and fine controls"};
    case C::Label6: return {"Coarse", ""};
    case C::VScroll1: return {"Set-point coarse", ""};
    case C::Label8: return {"Medium", ""};
    case C::VScroll2: return {"Set-point medium", ""};
    case C::Label7: return {"Fine", ""};
    case C::VScroll3: return {"Set-point fine", ""};
    case C::Command1: return {"Output Q7", "Switches output Q7; the lamp above shows it"};
    case C::Shape1: return {"Output Q7 lamp", ""};
    case C::Command2: return {"Output Q6", "Switches output Q6; the lamp above shows it"};
    case C::Shape2: return {"Output Q6 lamp", ""};
    case C::Command3: return {"Output Q5", "Switches output Q5; the lamp above shows it"};
    case C::Shape3: return {"Output Q5 lamp", ""};
    case C::Command4: return {"Output Q4", "Switches output Q4; the lamp above shows it"};
    case C::Shape4: return {"Output Q4 lamp", ""};
    case C::Command5: return {"Output Q3", "Switches output Q3; the lamp above shows it"};
    case C::Shape5: return {"Output Q3 lamp", ""};
    case C::Command6: return {"Output Q2", "Switches output Q2; the lamp above shows it"};
    case C::Shape6: return {"Output Q2 lamp", ""};
    case C::Command7: return {"Output Q1", "Switches output Q1; the lamp above shows it"};
    case C::Shape7: return {"Output Q1 lamp", ""};
    case C::Command8: return {"Output Q0", "Switches output Q0; the lamp above shows it"};
    case C::Shape8: return {"Output Q0 lamp", ""};
    case C::Combo1: return {"Port address", "Base address of the parallel port"};
    case C::Label2: return {"Out, data register", ""};
    case C::Text1: return {"Data register address", ""};
    case C::Label3: return {"Inp, status register", ""};
    case C::Text2: return {"Status register address", ""};
    case C::Label4: return {"Cnt, control register", ""};
    case C::Text3: return {"Control register address", ""};
    case C::Command14: return {"Close Port panel", ""};
    case C::Text5: return {"Value nibble", "Value lines read from the status register"};
    case C::Text6: return {"Status byte", "Status register in hexadecimal"};
    case C::Text4: return {"Digit strobe", "Digit-strobe lines read from the status register"};
    case C::Text11: return {"Set-point sign", "1 while the set-point is negative"};
    case C::Text10: return {"High output byte", "In hexadecimal, without the sign bit"};
    case C::Text7: return {"Low output byte", "In hexadecimal"};
    case C::Text9: return {"Set-point magnitude", "In hexadecimal"};
    case C::Command13: return {"Close Probe panel", ""};
    case C::Shape10: return {"Power lamp", ""};
    case C::Command9:
        return {"Power on/off", "Switches the panel on or off; the caption names what "
                                "the next press does"};
    }
    return {};
}

QString lamp_state(ControlId id, std::uint32_t rgb)
{
    switch (id) {
    case ControlId::Shape9:
        return rgb == 0xFF0000 ? QStringLiteral("converting") : QStringLiteral("not converting");
    case ControlId::Shape10: return rgb == 0xFFFF00 ? QStringLiteral("on") : QStringLiteral("off");
    default: // the output-bit lamps
        return rgb == 0xFF8000 ? QStringLiteral("on") : QStringLiteral("off");
    }
}

namespace {

// A read-out or lamp: static text whose value is what it shows, offered as
// read-only text too (the form a screen reader reads text from).
class SpokenAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    SpokenAccessible(QWidget* w, const Spoken& spoken)
        : QAccessibleWidget(w, QAccessible::StaticText), spoken_(spoken)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Value ? spoken_.spoken_value() : QAccessibleWidget::text(t);
    }

    void* interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    // Read-only text: no selection, the cursor at the start.
    void selection(int, int* start, int* end) const override { *start = *end = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int start, int end) const override
    {
        return spoken_.spoken_value().mid(start, end - start);
    }
    int characterCount() const override
    {
        return static_cast<int>(spoken_.spoken_value().size());
    }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* start, int* end) const override
    {
        *start = *end = offset;
        return {};
    }

private:
    const Spoken& spoken_;
};

// A spin control: its model value, range and step. A value set from outside
// (an assistive tool's "set value") is refused: it could move the board by
// more than a step. Increase and decrease are offered as actions, one step
// each, as an arrow click.
class SpinAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit SpinAccessible(SpinBar* bar) : QAccessibleWidget(bar, QAccessible::SpinBox) {}

    SpinBar* bar() const { return static_cast<SpinBar*>(widget()); }

    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Value ? QString::number(bar()->model_value())
                                       : QAccessibleWidget::text(t);
    }

    void* interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QVariant currentValue() const override { return bar()->model_value(); }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return -bar()->minimum(); }
    QVariant minimumValue() const override { return -bar()->maximum(); }
    QVariant minimumStepSize() const override { return bar()->singleStep(); }

    QStringList actionNames() const override
    {
        QStringList names = QAccessibleWidget::actionNames();
        if (bar()->isEnabled())
            names << increaseAction() << decreaseAction();
        return names;
    }

    void doAction(const QString& name) override
    {
        if (!bar()->isEnabled())
            return;
        if (name == increaseAction())
            bar()->step_up();
        else if (name == decreaseAction())
            bar()->step_down();
        else
            QAccessibleWidget::doAction(name);
    }
};

QAccessibleInterface* panel_accessible(const QString&, QObject* object)
{
    if (auto* bar = dynamic_cast<SpinBar*>(object))
        return new SpinAccessible(bar);
    if (auto* spoken = dynamic_cast<Spoken*>(object))
        return new SpokenAccessible(static_cast<QWidget*>(object), *spoken);
    return nullptr;
}

} // namespace

void install_accessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(panel_accessible);
        return true;
    }();
    (void)installed;
}

} // namespace korvel::ui
