#include "ui/accessibility.h"

#include "ui/widgets.h"

#include <QAccessibleWidget>

namespace korvel::ui {

Words words_for(ControlId id)
{
    using C = ControlId;
    // A switch over every control: the compiler reports a control left out.
    switch (id) {
    case C::mode_selector:
        return {"Mode", "ZEP drives the set-point, DVM shows the voltmeter alone, "
                        "DPC drives the eight digital outputs"};
    case C::input_frame: return {"Input", "Voltmeter display"};
    case C::port_panel: return {"Port", "Port address and register addresses"};
    case C::setpoint_frame: return {"Potentiometer", "Set-point controls"};
    case C::probe_panel: return {"Probe", "Raw bytes as they pass"};
    case C::output_frame: return {"Output", "Digital outputs Q7 to Q0"};
    case C::probe_button: return {"Probe panel", "Opens or closes the Probe panel"};
    case C::port_button: return {"Port panel", "Opens or closes the Port panel"};
    case C::power_frame: return {"Power", ""};
    case C::exit_button:
        return {"Exit", "Puts the board into the safe state and ends the program"};
    case C::sync_timer:
    case C::refresh_timer:
    case C::scan_timer: return {};
    case C::reading_box:
        return {"Voltmeter reading",
                "Sign and five digits, after over range or under range when the "
                "converter is out of range; double-click or Ctrl+T opens the trend"};
    case C::over_mark: return {"Over range", "Shown while the converter is over range"};
    case C::under_mark: return {"Under range", "Shown while the converter is under range"};
    case C::conversion_lamp: return {"Conversion lamp", "Converting while the voltmeter converts"};
    case C::setpoint_box: return {"Set-point", "Sum of the coarse, medium and fine controls"};
    case C::coarse_label: return {"Coarse", ""};
    case C::coarse_spin: return {"Set-point coarse", ""};
    case C::medium_label: return {"Medium", ""};
    case C::medium_spin: return {"Set-point medium", ""};
    case C::fine_label: return {"Fine", ""};
    case C::fine_spin: return {"Set-point fine", ""};
    case C::q7_button: return {"Output Q7", "Switches output Q7; the lamp above shows it"};
    case C::q7_lamp: return {"Output Q7 lamp", ""};
    case C::q6_button: return {"Output Q6", "Switches output Q6; the lamp above shows it"};
    case C::q6_lamp: return {"Output Q6 lamp", ""};
    case C::q5_button: return {"Output Q5", "Switches output Q5; the lamp above shows it"};
    case C::q5_lamp: return {"Output Q5 lamp", ""};
    case C::q4_button: return {"Output Q4", "Switches output Q4; the lamp above shows it"};
    case C::q4_lamp: return {"Output Q4 lamp", ""};
    case C::q3_button: return {"Output Q3", "Switches output Q3; the lamp above shows it"};
    case C::q3_lamp: return {"Output Q3 lamp", ""};
    case C::q2_button: return {"Output Q2", "Switches output Q2; the lamp above shows it"};
    case C::q2_lamp: return {"Output Q2 lamp", ""};
    case C::q1_button: return {"Output Q1", "Switches output Q1; the lamp above shows it"};
    case C::q1_lamp: return {"Output Q1 lamp", ""};
    case C::q0_button: return {"Output Q0", "Switches output Q0; the lamp above shows it"};
    case C::q0_lamp: return {"Output Q0 lamp", ""};
    case C::port_selector: return {"Port address", "Base address of the parallel port"};
    case C::data_address_label: return {"Out, data register", ""};
    case C::data_address_box: return {"Data register address", ""};
    case C::status_address_label: return {"Inp, status register", ""};
    case C::status_address_box: return {"Status register address", ""};
    case C::control_address_label: return {"Cnt, control register", ""};
    case C::control_address_box: return {"Control register address", ""};
    case C::port_ok_button: return {"Close Port panel", ""};
    case C::probe_value_box: return {"Value nibble", "Value lines read from the status register"};
    case C::probe_status_box: return {"Status byte", "Status register in hexadecimal"};
    case C::probe_strobe_box: return {"Digit strobe", "Digit-strobe lines read from the status register"};
    case C::probe_sign_box: return {"Set-point sign", "1 while the set-point is negative"};
    case C::probe_high_box: return {"High output byte", "In hexadecimal, without the sign bit"};
    case C::probe_low_box: return {"Low output byte", "In hexadecimal"};
    case C::probe_magnitude_box: return {"Set-point magnitude", "In hexadecimal"};
    case C::probe_ok_button: return {"Close Probe panel", ""};
    case C::power_lamp: return {"Power lamp", ""};
    case C::power_button:
        return {"Power on/off", "Switches the panel on or off; the caption names what "
                                "the next press does"};
    }
    return {};
}

QString lamp_state(ControlId id, std::uint32_t rgb)
{
    switch (id) {
    case ControlId::conversion_lamp:
        return rgb == 0xFF0000 ? QStringLiteral("converting") : QStringLiteral("not converting");
    case ControlId::power_lamp: return rgb == 0xFFFF00 ? QStringLiteral("on") : QStringLiteral("off");
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
