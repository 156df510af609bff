// The widget kinds of the panel window that Qt has no ready equivalent for,
// and the mapping of the design's colours and fonts onto Qt.
#pragma once

#include "panel/design.h"

#include <QColor>
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

// A read-out box: text centred, flat single-line border, no margins beyond
// the border (the probe's byte boxes are only 17 pixels wide). It takes the
// keyboard focus like a text box but cannot be typed into.
class TextBox : public QLabel {
public:
    TextBox(QColor back, QColor fore, QColor border, QWidget* parent);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor border_;
};

// A lamp: a rounded rectangle filled with its colour, no outline.
class Lamp : public QWidget {
public:
    explicit Lamp(QWidget* parent);
    QColor colour() const { return colour_; }
    void set_colour(QColor colour);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QColor colour_;
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
// It is drawn as two push buttons with an arrow each, the pressed one sunk.
class SpinBar : public QScrollBar {
public:
    SpinBar(int min, int max, int step, QWidget* parent);
    int model_value() const { return -value(); }
    void set_model_value(int v) { setValue(-v); }

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    enum class Half { None, Up, Down };
    Half pressed_ = Half::None;
};

} // namespace korvel::ui
