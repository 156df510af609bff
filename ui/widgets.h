// The widget kinds of the panel window that Qt has no ready equivalent for,
// and the mapping of the design's colours and fonts onto Qt.
#pragma once

#include "panel/design.h"

#include <QColor>
#include <QComboBox>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QProxyStyle>
#include <QPushButton>
#include <QScrollBar>
#include <QWidget>

namespace korvel::ui {

// A design colour on this desktop. The system colours come from the
// application palette: the menu colour is the button face (QPalette::Button),
// the window-frame colour is the window text colour (QPalette::WindowText,
// black in the standard palette, as the frame colour of a classic desktop
// is), and the window-text colour is QPalette::WindowText. Unset gives
// `fallback`.
QColor qt_colour(const Colour& colour, const QColor& fallback = QColor());
QColor qt_rgb(std::uint32_t rgb);

// The design font at a fixed pixel size (points at 96 dpi), so the fixed
// layout does not depend on the screen's dpi. The design's families are
// mapped onto free ones with the same metrics where there are such:
// "Arial" and "MS Sans Serif" onto Liberation Sans, "Verdana" onto DejaVu
// Sans; other families of the fontconfig fallback list follow.
QFont qt_font(const Font& font);
int pixels_from_points(double points);

// Place and size in pixels from twips (15 twips per pixel at 96 dpi).
QRect pixel_rect(const Design& d);

// A captioned group: filled with its back colour, an etched border, and the
// caption at the top left in its fore colour. Controls inside are its child
// widgets, placed from its top-left corner (caption band included), so
// hiding the frame hides them.
class FrameBox : public QGroupBox {
public:
    FrameBox(QColor back, QColor fore, QWidget* parent);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor back_, fore_;
};

// A widget whose state a screen reader reads out as its value: a read-out's
// text, a lamp's state in words.
class Spoken {
public:
    virtual QString spoken_value() const = 0;

protected:
    ~Spoken() = default;
    // Tells assistive technology that the spoken value of `w` went from
    // `before` to `after`.
    static void announce(QWidget* w, const QString& before, const QString& after);
};

// A read-out box: text centred, flat single-line border, no margins beyond
// the border (the probe's byte boxes are only 17 pixels wide). It takes the
// keyboard focus like a text box but cannot be typed into. Its spoken value
// is its text, after a note when one is set ("over range, +19999").
class TextBox : public QLabel, public Spoken {
public:
    TextBox(QColor back, QColor fore, QColor border, QWidget* parent);
    void show_text(const QString& text);
    void set_note(const QString& note);
    QString spoken_value() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor border_;
    QString note_;
};

// A lamp: a rounded rectangle filled with its colour, no outline. Its
// spoken value is its state in words ("on", "converting").
class Lamp : public QWidget, public Spoken {
public:
    explicit Lamp(QWidget* parent);
    QColor colour() const { return colour_; }
    void set_colour(QColor colour, const QString& state);
    QString spoken_value() const override { return state_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor colour_;
    QString state_;
};

// A push button; a flat one is drawn as a filled face with a single-line
// border so that its face colour shows.
class PanelButton : public QPushButton {
public:
    explicit PanelButton(QWidget* parent);

protected:
    void paintEvent(QPaintEvent*) override;
};

// The style of the spin controls and drop-down lists, over Fusion:
//  - a spin control's two arrow buttons share its whole height (top half
//    and bottom half), with no groove and no slider between them;
//  - a drop-down list's arrow button is narrow and its text starts close to
//    the left edge, so that "&H378" fits the port selector's 57 pixels.
class PanelStyle : public QProxyStyle {
public:
    PanelStyle();
    QRect subControlRect(ComplexControl cc, const QStyleOptionComplex* opt, SubControl sc,
                         const QWidget* widget) const override;

    static constexpr int combo_arrow_width = 15;
};

// A spin control: a short vertical scroll bar whose up arrow (and Up,
// PageUp keys, wheel up) raises the value. A vertical scroll bar's up arrow
// lowers its own value, so the bar holds the negated model value:
// model value = -bar value, bar range = [-max, -min]. The arrow steps and
// page steps are both the control's step.
//
// Its value drives the board, so it moves by one step per gesture and in no
// other way: a left click on an arrow (held, it repeats at the toolkit's
// delay and rate, one step per repeat), Up/Down/PageUp/PageDown while it has
// the focus, and one wheel notch (120 eighths of a degree, whatever the
// desktop's lines per notch; finer wheels and touchpads add up to whole
// notches, and an event that carries several notches still moves one step).
// Home, End, other keys and buttons and the context menu change nothing,
// and no menu appears.
//
// It is drawn as two push buttons with an arrow each, the pressed one sunk.
class SpinBar : public QScrollBar {
public:
    SpinBar(int min, int max, int step, QWidget* parent);
    int model_value() const { return -value(); }
    void set_model_value(int v) { setValue(-v); }
    // One step up or down, as an arrow click makes it.
    void step_up() { triggerAction(SliderSingleStepSub); }
    void step_down() { triggerAction(SliderSingleStepAdd); }

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void leaveEvent(QEvent* e) override;

private:
    enum class Half { None, Up, Down };
    Half pressed_ = Half::None;
    // Wheel angle not yet turned into a step, in eighths of a degree.
    int wheel_rest_ = 0;
};

// A drop-down list that only an explicit choice changes: opening it and
// choosing with the mouse or keyboard works as usual, but the wheel over the
// closed list does nothing (it would run the selection handler on every
// notch while the user only scrolls past).
class Selector : public QComboBox {
public:
    explicit Selector(QWidget* parent) : QComboBox(parent) {}

protected:
    void wheelEvent(QWheelEvent* e) override;
};

} // namespace korvel::ui
