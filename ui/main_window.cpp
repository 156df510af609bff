#include "ui/main_window.h"

#include "ui/accessibility.h"
#include "ui/pictures.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QIcon>
#include <QPainter>
#include <QScreen>
#include <QSignalBlocker>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace korvel::ui {

namespace {

QString qs(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// Captions of buttons and frames are shown as they stand: '&' is no
// mnemonic here.
QString caption(std::string_view s) { return qs(s).replace(QLatin1Char('&'), QLatin1String("&&")); }

void set_text_if_changed(QLabel* w, const QString& text)
{
    if (w->text() != text)
        w->setText(text);
}

// The reading's spoken value starts with the range marks that show beside it.
QString range_note(const Controls& controls)
{
    QStringList marks;
    if (controls.over_mark.visible())
        marks << QStringLiteral("over range");
    if (controls.under_mark.visible())
        marks << QStringLiteral("under range");
    return marks.join(QStringLiteral(", "));
}

void set_colours(QWidget* w, std::initializer_list<QPalette::ColorRole> roles, const QColor& colour)
{
    QPalette pal = w->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        for (auto role : roles)
            pal.setColor(group, role, colour);
    w->setPalette(pal);
}

// A list with items longer than the design's (a PCI card's "&HD010" beside
// "&H3BC") grows, within its container, until its widest item fits; with
// the design's items it keeps the design's width.
void widen_for_items(QComboBox* cb, const Control& c, const QWidget* container)
{
    const QFontMetrics metrics(cb->font());
    int designed = 0;  // the widest of the items as designed
    for (const QString& item : qs(c.design().text).split(QLatin1Char('|')))
        designed = std::max(designed, metrics.horizontalAdvance(item));
    int widest = 0;
    for (const auto& item : c.items())
        widest = std::max(widest, metrics.horizontalAdvance(QString::fromStdString(item)));
    if (widest <= designed)
        return;
    const int room = container->width() - 4 - cb->x();
    const int wanted = std::max(cb->width() + widest - designed, cb->sizeHint().width());
    cb->resize(std::max(cb->width(), std::min(wanted, room)), cb->height());
}

} // namespace

MainWindow::MainWindow(Panel& panel, QWidget* parent)
    : QWidget(parent), panel_(panel), controls_(panel.controls())
{
    setObjectName(qs(form_design.name));
    setWindowTitle(qs(form_design.caption));
    setWindowIcon(QIcon(QPixmap::fromImage(window_icon_picture())));
    setFixedSize(form_design.client_width_twips / twips_per_pixel,
                 form_design.client_height_twips / twips_per_pixel);
    setFont(qt_font(default_font));
    setAttribute(Qt::WA_OpaquePaintEvent);
    background_ = QPixmap::fromImage(background_picture());

    install_accessibility();
    build();
    static_cast<TextBox*>(widget(ControlId::reading_box))->set_note(range_note(controls_));
    set_focus_order();
    observer_key_ = controls_.observe([this](Control& c, Property p) { apply(c, p); });
    panel_.beep = [] { QApplication::beep(); };
    panel_.end_program = [this] { end_program(); };

    // The load handler: runs once, before the window is first shown, with
    // the widgets already following the model.
    panel_.load();

    if (QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());
}

MainWindow::~MainWindow()
{
    controls_.forget(observer_key_);
    panel_.end_program = nullptr;
}

void MainWindow::build()
{
    auto* panel_style = new PanelStyle;
    panel_style->setParent(this);

    for (std::size_t i = 0; i < control_count; ++i) {
        Control& c = controls_[static_cast<ControlId>(i)];
        QWidget* container = this;
        if (!c.design().container.empty()) {
            Control* frame = controls_.find(c.design().container);
            container = frame ? slot(frame->id()).widget : nullptr;
            if (!container)
                throw std::logic_error("control placed in a frame that is not built before it");
        }
        build_control(c, container);
        if (c.kind() == Kind::Spin || c.kind() == Kind::Combo)
            slots_[i].widget->setStyle(panel_style);
        if (c.kind() == Kind::Combo)
            widen_for_items(static_cast<QComboBox*>(slots_[i].widget), c, container);
    }
}

void MainWindow::build_control(Control& c, QWidget* container)
{
    const Design& d = c.design();
    Slot& s = slots_[static_cast<std::size_t>(c.id())];
    const QString name = qs(d.name);

    if (d.kind == Kind::Timer)
        return; // the session runs the timers

    const QColor back = qt_colour(d.back);
    const QColor fore = qt_colour(d.fore);
    QWidget* w = nullptr;
    switch (d.kind) {
    case Kind::Frame: {
        auto* f = new FrameBox(back, fore, container);
        f->setTitle(caption(c.text()));
        w = f;
        break;
    }
    case Kind::Label: {
        auto* l = new QLabel(container);
        l->setTextFormat(Qt::PlainText);
        l->setAlignment(Qt::AlignCenter);
        l->setText(qs(c.text()));
        l->setFocusPolicy(Qt::NoFocus);
        set_colours(l, {QPalette::WindowText}, fore);
        w = l;
        break;
    }
    case Kind::TextBox: {
        const QColor frame_line = qt_colour(system_window_frame);
        auto* t = new TextBox(back, fore, frame_line, container);
        t->show_text(qs(c.text()));
        w = t;
        break;
    }
    case Kind::Button: {
        auto* b = new PanelButton(container);
        b->setText(caption(c.text()));
        if (d.back.source != Colour::Unset)
            set_colours(b, {QPalette::Button}, back);
        b->setFlat(d.flat);
        connect(b, &QPushButton::clicked, this, [&c] { c.fire(); });
        w = b;
        break;
    }
    case Kind::Combo: {
        auto* cb = new Selector(container);
        cb->setEditable(false);
        for (const auto& item : c.items())
            cb->addItem(QString::fromStdString(item));
        for (int i = 0; i < cb->count(); ++i) // "&H378" is read out as "0x378"
            cb->setItemData(i, cb->itemText(i).replace(QLatin1String("&H"), QLatin1String("0x")),
                            Qt::AccessibleTextRole);
        cb->setCurrentIndex(c.selected());
        // On Linux the toolkit names a drop-down list by its current item and
        // takes what the list is from a label whose buddy it is: this one,
        // never shown, carries the list's plain-words name.
        auto* label = new QLabel(QString::fromUtf8(words_for(c.id()).name), container);
        label->setTextFormat(Qt::PlainText);
        label->setBuddy(cb);
        label->hide();
        set_colours(cb, {QPalette::Button, QPalette::Base, QPalette::Window}, back);
        set_colours(cb, {QPalette::ButtonText, QPalette::Text, QPalette::WindowText}, fore);
        connect(cb, &QComboBox::activated, this, [&c](int index) { c.select(index); });
        w = cb;
        break;
    }
    case Kind::Spin: {
        auto* bar = new SpinBar(d.min, d.max, d.step, container);
        bar->set_model_value(c.value());
        // Program-made changes arrive with the bar's signals blocked, so this
        // is the user's step; the model raises the change event only when
        // the value really changed.
        connect(bar, &QScrollBar::valueChanged, this, [&c, bar](int) {
            c.set_value(bar->model_value());
            if (bar->model_value() != c.value()) {
                const QSignalBlocker block(bar);
                bar->set_model_value(c.value());
            }
        });
        w = bar;
        break;
    }
    case Kind::Lamp: {
        auto* l = new Lamp(container);
        l->set_colour(qt_rgb(c.colour()), lamp_state(c.id(), c.colour()));
        w = l;
        break;
    }
    case Kind::Timer: break;
    }

    // The object name is the design name, for automation and tests; people
    // get plain words.
    w->setObjectName(name);
    const Words words = words_for(c.id());
    w->setAccessibleName(QString::fromUtf8(words.name));
    if (d.kind == Kind::Spin)
        w->setAccessibleDescription(QStringLiteral("Up raises, Down lowers, by %1; from %2 to %3")
                                        .arg(d.step)
                                        .arg(d.min)
                                        .arg(d.max));
    else
        w->setAccessibleDescription(QString::fromUtf8(words.description));
    w->setGeometry(pixel_rect(d));
    if (d.kind != Kind::Lamp && d.kind != Kind::Spin)
        w->setFont(qt_font(d.font));
    if (!d.tooltip.empty())
        w->setToolTip(qs(d.tooltip));
    w->setEnabled(c.enabled());
    w->setVisible(c.visible());
    s.widget = w;
}

void MainWindow::set_focus_order()
{
    std::vector<std::pair<int, QWidget*>> order;
    for (std::size_t i = 0; i < control_count; ++i) {
        const Design& d = design_table()[i];
        switch (d.kind) {
        case Kind::TextBox:
        case Kind::Button:
        case Kind::Combo:
        case Kind::Spin: order.emplace_back(d.tab, slots_[i].widget); break;
        default: break; // frames and labels hold a place but never take the focus
        }
    }
    std::sort(order.begin(), order.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1].second, order[i].second);
}

void MainWindow::apply(Control& c, Property p)
{
    const Slot& s = slot(c.id());
    if (c.kind() == Kind::Timer)
        return; // the session runs the timers
    QWidget* w = s.widget;
    switch (p) {
    case Property::Text:
        switch (c.kind()) {
        case Kind::Frame: static_cast<FrameBox*>(w)->setTitle(caption(c.text())); break;
        case Kind::Label: set_text_if_changed(static_cast<QLabel*>(w), qs(c.text())); break;
        case Kind::TextBox: static_cast<TextBox*>(w)->show_text(qs(c.text())); break;
        case Kind::Button: static_cast<QPushButton*>(w)->setText(caption(c.text())); break;
        default: break;
        }
        break;
    case Property::Colour:
        if (c.kind() == Kind::Lamp)
            static_cast<Lamp*>(w)->set_colour(qt_rgb(c.colour()), lamp_state(c.id(), c.colour()));
        break;
    case Property::Visible:
        w->setVisible(c.visible());
        if (c.id() == ControlId::over_mark || c.id() == ControlId::under_mark)
            static_cast<TextBox*>(slot(ControlId::reading_box).widget)->set_note(range_note(controls_));
        break;
    case Property::Enabled: w->setEnabled(c.enabled()); break;
    case Property::Value:
        if (c.kind() == Kind::Spin) {
            auto* bar = static_cast<SpinBar*>(w);
            const QSignalBlocker block(bar);
            bar->set_model_value(c.value());
        }
        break;
    case Property::Selection:
        if (c.kind() == Kind::Combo) {
            auto* cb = static_cast<QComboBox*>(w);
            const QSignalBlocker block(cb);
            cb->setCurrentIndex(c.selected());
        }
        break;
    case Property::Focus: w->setFocus(Qt::OtherFocusReason); break;
    }
}

bool MainWindow::event(QEvent* e)
{
    if (e->type() == QEvent::WindowActivate && !activated_) {
        activated_ = true;
        panel_.activate();
    }
    return QWidget::event(e);
}

void MainWindow::closeEvent(QCloseEvent* e)
{
    // Runs the Exit sequence unless the program has already ended.
    panel_.close();
    e->accept();
}

void MainWindow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.drawPixmap(0, 0, background_);
}

void MainWindow::end_program()
{
    if (ended_)
        return;
    ended_ = true;
    hide();
    QCoreApplication::exit(0);
}

} // namespace korvel::ui
