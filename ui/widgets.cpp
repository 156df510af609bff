#include "ui/widgets.h"

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QStyleOptionSlider>
#include <QWheelEvent>

#include <cmath>
#include <tuple>

namespace korvel::ui {

QColor qt_rgb(std::uint32_t rgb)
{
    return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

QColor qt_colour(const Colour& colour, const QColor& fallback)
{
    const QPalette pal = QApplication::palette();
    switch (colour.source) {
    case Colour::Rgb: return qt_rgb(colour.rgb);
    case Colour::SystemMenu: return pal.color(QPalette::Button);
    case Colour::SystemWindowFrame: return pal.color(QPalette::WindowText);
    case Colour::SystemWindowText: return pal.color(QPalette::WindowText);
    case Colour::Unset: break;
    }
    return fallback;
}

int pixels_from_points(double points)
{
    return static_cast<int>(std::lround(points * 96.0 / 72.0));
}

QFont qt_font(const Font& font)
{
    const std::string_view family = font.family.empty() ? default_font.family : font.family;
    QStringList families;
    if (family == "Verdana")
        families = {"DejaVu Sans", "Verdana", "Liberation Sans"};
    else if (family == "Arial")
        families = {"Liberation Sans", "Arimo", "Arial", "DejaVu Sans"};
    else // "MS Sans Serif": narrow enough for the probe's read-outs
        families = {"Liberation Sans", "Arimo", "DejaVu Sans"};
    QFont f;
    f.setFamilies(families);
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixels_from_points(font.points));
    f.setBold(font.bold);
    f.setItalic(false);
    f.setUnderline(false);
    f.setStrikeOut(false);
    return f;
}

QRect pixel_rect(const Design& d)
{
    auto px = [](int twips) {
        return static_cast<int>(std::lround(twips / static_cast<double>(twips_per_pixel)));
    };
    return {px(d.left), px(d.top), px(d.width), px(d.height)};
}

// ---------------------------------------------------------------- FrameBox

FrameBox::FrameBox(QColor back, QColor fore, QWidget* parent)
    : QGroupBox(parent), back_(back), fore_(fore)
{
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void FrameBox::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), back_);

    const QFontMetrics fm(font());
    const int line = fm.height() / 2;
    // Etched border: a dark line with a light one inside it.
    const QRect outer(0, line, width() - 2, height() - line - 2);
    p.setPen(QColor(0x80, 0x80, 0x80));
    p.drawRect(outer);
    p.setPen(QColor(0xFF, 0xFF, 0xFF));
    p.drawRect(outer.translated(1, 1));

    const QString caption = title();
    if (caption.isEmpty())
        return;
    const int text_left = 6;
    const int text_width = fm.horizontalAdvance(caption);
    p.fillRect(QRect(text_left, 0, text_width + 4, fm.height()), back_);
    p.setPen(fore_);
    p.drawText(QRect(text_left + 2, 0, text_width + 2, fm.height()),
               Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, caption);
}

// ------------------------------------------------------------------ Spoken

void Spoken::announce(QWidget* w, const QString& before, const QString& after)
{
    if (before == after || !QAccessible::isActive())
        return;
    QAccessibleTextUpdateEvent text(w, 0, before, after);
    QAccessible::updateAccessibility(&text);
    QAccessibleValueChangeEvent value(w, after);
    QAccessible::updateAccessibility(&value);
}

// ----------------------------------------------------------------- TextBox

TextBox::TextBox(QColor back, QColor fore, QColor border, QWidget* parent)
    : QLabel(parent), border_(border)
{
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignCenter);
    setWordWrap(false);
    setFrameShape(QFrame::NoFrame);
    setContentsMargins(1, 1, 1, 1);
    setMargin(0);
    setIndent(0);
    setFocusPolicy(Qt::StrongFocus);
    setAutoFillBackground(true);
    QPalette pal = palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::Window, back);
        pal.setColor(group, QPalette::Base, back);
        pal.setColor(group, QPalette::WindowText, fore);
        pal.setColor(group, QPalette::Text, fore);
    }
    setPalette(pal);
}

QString TextBox::spoken_value() const
{
    return note_.isEmpty() ? text() : note_ + QStringLiteral(", ") + text();
}

void TextBox::show_text(const QString& text)
{
    if (text == this->text())
        return;
    const QString before = spoken_value();
    setText(text);
    announce(this, before, spoken_value());
}

void TextBox::set_note(const QString& note)
{
    if (note == note_)
        return;
    const QString before = spoken_value();
    note_ = note;
    announce(this, before, spoken_value());
}

void TextBox::paintEvent(QPaintEvent* e)
{
    QLabel::paintEvent(e);
    QPainter p(this);
    p.setPen(border_);
    p.setBrush(Qt::NoBrush);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

// -------------------------------------------------------------------- Lamp

Lamp::Lamp(QWidget* parent) : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TranslucentBackground);
}

void Lamp::set_colour(QColor colour, const QString& state)
{
    if (state != state_) {
        const QString before = state_;
        state_ = state;
        announce(this, before, state_);
    }
    if (colour == colour_)
        return;
    colour_ = colour;
    update();
}

void Lamp::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(colour_);
    const qreal radius = std::min(width(), height()) / 3.0;
    p.drawRoundedRect(QRectF(rect()), radius, radius);
}

// ------------------------------------------------------------- PanelButton

PanelButton::PanelButton(QWidget* parent) : QPushButton(parent)
{
    setAutoDefault(false);
    setDefault(false);
}

void PanelButton::paintEvent(QPaintEvent* e)
{
    if (!isFlat()) {
        QPushButton::paintEvent(e);
        return;
    }
    QPainter p(this);
    const QPalette& pal = palette();
    QColor face = pal.color(QPalette::Button);
    if (isDown())
        face = face.darker(115);
    p.fillRect(rect(), face);
    p.setPen(pal.color(QPalette::WindowText));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    p.setPen(pal.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    const QRect text_rect = isDown() ? rect().translated(1, 1) : rect();
    p.drawText(text_rect, Qt::AlignCenter | Qt::TextShowMnemonic, text());
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(2, 2, -2, -2);
        focus.backgroundColor = face;
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &p, this);
    }
}

// -------------------------------------------------------------- PanelStyle

PanelStyle::PanelStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

QRect PanelStyle::subControlRect(ComplexControl cc, const QStyleOptionComplex* opt,
                                 SubControl sc, const QWidget* widget) const
{
    const QRect r = opt->rect;
    if (cc == CC_ScrollBar) {
        const int half = r.height() / 2;
        switch (sc) {
        case SC_ScrollBarSubLine: return {r.left(), r.top(), r.width(), half};
        case SC_ScrollBarAddLine: return {r.left(), r.top() + half, r.width(), r.height() - half};
        default: return {}; // groove, slider and page areas have no room
        }
    }
    if (cc == CC_ComboBox) {
        switch (sc) {
        case SC_ComboBoxArrow:
            return visualRect(opt->direction, r,
                              QRect(r.right() - combo_arrow_width, r.top() + 1,
                                    combo_arrow_width, r.height() - 2));
        case SC_ComboBoxEditField:
            return visualRect(opt->direction, r,
                              QRect(r.left() + 3, r.top() + 2,
                                    r.width() - combo_arrow_width - 5, r.height() - 4));
        default: break;
        }
    }
    return QProxyStyle::subControlRect(cc, opt, sc, widget);
}

// ----------------------------------------------------------------- SpinBar

SpinBar::SpinBar(int min, int max, int step, QWidget* parent) : QScrollBar(Qt::Vertical, parent)
{
    setRange(-max, -min);
    setSingleStep(step);
    setPageStep(step);
    // A drag changes the value only when it ends.
    setTracking(false);
    setFocusPolicy(Qt::StrongFocus);
}

// The two arrows fill the bar (PanelStyle leaves no groove, slider or page
// area), so the scroll bar's own handling of a left press is an arrow step
// with the toolkit's auto-repeat. The second press of a double click comes
// as a double-click event, which the toolkit hands on here: one step too.
// Every other button is refused: the middle button would step too, and
// some styles make it jump to the pointer.
void SpinBar::mousePressEvent(QMouseEvent* e)
{
    e->accept();
    if (e->button() != Qt::LeftButton || e->buttons() != Qt::LeftButton || !isEnabled())
        return;
    pressed_ = e->position().y() < height() / 2 ? Half::Up : Half::Down;
    QScrollBar::mousePressEvent(e);
    update();
}

void SpinBar::mouseReleaseEvent(QMouseEvent* e)
{
    e->accept();
    if (e->button() != Qt::LeftButton)
        return;
    pressed_ = Half::None;
    QScrollBar::mouseReleaseEvent(e);
    update();
}

void SpinBar::mouseMoveEvent(QMouseEvent* e)
{
    // With no slider, a move only pauses or resumes the held arrow's repeat.
    e->accept();
    if (pressed_ != Half::None)
        QScrollBar::mouseMoveEvent(e);
}

void SpinBar::keyPressEvent(QKeyEvent* e)
{
    switch (e->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
        if (e->modifiers() == Qt::NoModifier || e->modifiers() == Qt::KeypadModifier) {
            // Arrow and page steps are both the control's step.
            if (e->key() == Qt::Key_Up || e->key() == Qt::Key_PageUp)
                step_up();
            else
                step_down();
            e->accept();
            return;
        }
        break;
    default: break;
    }
    // Home, End, Left, Right and the rest: not a step of this control. Tab
    // and the window's keys go on to the parent.
    e->ignore();
}

void SpinBar::wheelEvent(QWheelEvent* e)
{
    e->accept();
    if (!isEnabled())
        return;
    int delta = e->angleDelta().y();
    if (e->inverted())
        delta = -delta;
    if (delta == 0)
        return;
    // A turn the other way starts afresh.
    if ((delta > 0) != (wheel_rest_ > 0) && wheel_rest_ != 0)
        wheel_rest_ = 0;
    wheel_rest_ += delta;
    constexpr int notch = QWheelEvent::DefaultDeltasPerStep; // 120
    if (wheel_rest_ >= notch)
        step_up();
    else if (wheel_rest_ <= -notch)
        step_down();
    else
        return;
    // One step per event at most; whole notches beyond it are dropped.
    wheel_rest_ %= notch;
}

void SpinBar::leaveEvent(QEvent* e)
{
    wheel_rest_ = 0;
    QScrollBar::leaveEvent(e);
}

void SpinBar::contextMenuEvent(QContextMenuEvent* e)
{
    // The scroll bar's menu ("Scroll here", "Top", "Bottom" ...) would jump
    // the value: none is offered.
    e->accept();
}

// --------------------------------------------------------------- Selector

void Selector::wheelEvent(QWheelEvent* e)
{
    e->accept();
}

void SpinBar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const int half = height() / 2;
    const QRect up(0, 0, width(), half);
    const QRect down(0, half, width(), height() - half);
    for (const auto& [r, which, arrow] :
         {std::tuple{up, Half::Up, QStyle::PE_IndicatorArrowUp},
          std::tuple{down, Half::Down, QStyle::PE_IndicatorArrowDown}}) {
        QStyleOptionButton button;
        button.initFrom(this);
        button.rect = r;
        button.state &= ~QStyle::State_HasFocus;
        button.state |= pressed_ == which ? QStyle::State_Sunken : QStyle::State_Raised;
        style()->drawControl(QStyle::CE_PushButtonBevel, &button, &p, this);

        QStyleOption indicator;
        indicator.initFrom(this);
        const int size = std::min(r.width(), r.height()) * 2 / 3;
        indicator.rect = QRect(0, 0, size, size);
        indicator.rect.moveCenter(r.center() + (pressed_ == which ? QPoint(1, 1) : QPoint()));
        style()->drawPrimitive(arrow, &indicator, &p, this);
    }
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(3, 3, -3, -3);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &p, this);
    }
}

} // namespace korvel::ui
