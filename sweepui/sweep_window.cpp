#include "sweepui/sweep_window.h"

#include <qcustomplot.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageWriter>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QSplitter>
#include <QSvgGenerator>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>

namespace korvel::sweepui {

namespace {

QSpinBox* spin(int low, int high, int value, const char* name, QWidget* parent)
{
    auto* s = new QSpinBox(parent);
    s->setRange(low, high);
    s->setValue(value);
    s->setAccessibleName(QString::fromUtf8(name));
    return s;
}

// A trace per pass, in colours that differ next to each other.
QColor pass_colour(int repeat)
{
    static const QColor colours[] = {QColor(0, 90, 200), QColor(210, 80, 0), QColor(0, 150, 70),
                                     QColor(150, 0, 150), QColor(120, 120, 0), QColor(0, 140, 160)};
    return colours[(repeat - 1) % 6];
}

QString seconds_text(std::int64_t ms)
{
    if (ms < 0)
        return QStringLiteral("time left unknown");
    const std::int64_t s = (ms + 999) / 1000;
    if (s >= 60)
        return QStringLiteral("%1 min %2 s left").arg(s / 60).arg(s % 60);
    return QStringLiteral("%1 s left").arg(s);
}

bool commit(QSaveFile& file, QString* error)
{
    if (file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

bool open_for_saving(QSaveFile& file, QString* error)
{
    if (file.open(QIODevice::WriteOnly))
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

} // namespace

SweepWindow::SweepWindow(sweep::Sweep& sweep, QWidget* parent)
    : QWidget(parent, Qt::Window), sweep_(sweep)
{
    setObjectName(QStringLiteral("sweep_window"));
    setWindowTitle(QStringLiteral("korvel: sweep"));
    setAccessibleName(QStringLiteral("Sweep"));
    build();
    redraw_timer_ = new QTimer(this);
    redraw_timer_->setSingleShot(true);
    redraw_timer_->setInterval(100);
    connect(redraw_timer_, &QTimer::timeout, this, [this] { redraw(); });
    progress_timer_ = new QTimer(this);
    progress_timer_->setInterval(500);
    connect(progress_timer_, &QTimer::timeout, this, [this] { update_progress(); });
    observer_key_ = sweep_.observe([this](sweep::Sweep::Event e) { on_event(e); });
    for (const sweep::PointResult& p : sweep_.results())
        add_point(p);
    if (sweep_.running())
        progress_timer_->start();
    update_progress();
    update_enabled();
    redraw();
    resize(980, 640);
}

SweepWindow::~SweepWindow() { sweep_.forget(observer_key_); }

void SweepWindow::build()
{
    const sweep::Settings& s = sweep_.settings();
    auto* form = new QFormLayout;
    shape_ = new QComboBox(this);
    shape_->addItems({QStringLiteral("Staircase"), QStringLiteral("List")});
    shape_->setCurrentIndex(s.shape == sweep::Shape::list ? 1 : 0);
    shape_->setAccessibleName(QStringLiteral("Sweep shape"));
    start_value_ = spin(-30000, 30000, s.start, "Start set-point", this);
    stop_value_ = spin(-30000, 30000, s.stop, "Stop set-point", this);
    step_ = spin(1, 60000, s.step, "Step", this);
    direction_ = new QComboBox(this);
    direction_->addItems({QStringLiteral("Up"), QStringLiteral("Down"), QStringLiteral("Up and down")});
    direction_->setCurrentIndex(static_cast<int>(s.direction));
    direction_->setAccessibleName(QStringLiteral("Direction"));
    list_ = new QPlainTextEdit(this);
    list_->setAccessibleName(QStringLiteral("List of set-points"));
    list_->setAccessibleDescription(QStringLiteral("Numbers separated by commas or lines, up to 2000"));
    list_->setTabChangesFocus(true);
    list_->setMaximumHeight(70);
    QString typed;
    for (int v : s.list)
        typed += (typed.isEmpty() ? QString() : QStringLiteral(", ")) + QString::number(v);
    list_->setPlainText(typed);
    auto* load = new QPushButton(QStringLiteral("Load list..."), this);
    load->setAccessibleName(QStringLiteral("Load list from a file"));
    connect(load, &QPushButton::clicked, this, [this] { load_list(); });
    settle_ = new QDoubleSpinBox(this);
    settle_->setRange(0, 60);
    settle_->setDecimals(3);
    settle_->setSuffix(QStringLiteral(" s"));
    settle_->setValue(s.settle_ms / 1000.0);
    settle_->setAccessibleName(QStringLiteral("Settling delay in seconds"));
    readings_ = spin(1, 100, s.readings, "Readings per point", this);
    repeats_ = spin(1, 1000, std::max(1, s.repeats), "Repeat count", this);
    endless_ = new QCheckBox(QStringLiteral("Until stopped"), this);
    endless_->setChecked(s.repeats == 0);
    endless_->setAccessibleName(QStringLiteral("Repeat until stopped"));
    slew_on_ = new QCheckBox(QStringLiteral("Limit"), this);
    slew_on_->setChecked(s.slew > 0);
    slew_on_->setAccessibleName(QStringLiteral("Slew limit on"));
    slew_ = spin(1, 60000, s.slew > 0 ? s.slew : 100, "Slew limit in counts per 100 ms", this);
    end_ = new QComboBox(this);
    end_->addItems({QStringLiteral("Back to the set-point from before"), QStringLiteral("Hold the last point")});
    end_->setCurrentIndex(s.end == sweep::EndState::hold ? 1 : 0);
    end_->setAccessibleName(QStringLiteral("At the end"));

    auto row = [this](QWidget* a, QWidget* b) {
        auto* w = new QWidget(this);
        auto* h = new QHBoxLayout(w);
        h->setContentsMargins(0, 0, 0, 0);
        h->addWidget(a);
        h->addWidget(b);
        return w;
    };
    form->addRow(QStringLiteral("&Shape"), shape_);
    form->addRow(QStringLiteral("S&tart"), start_value_);
    form->addRow(QStringLiteral("St&op"), stop_value_);
    form->addRow(QStringLiteral("St&ep"), step_);
    form->addRow(QStringLiteral("&Direction"), direction_);
    form->addRow(QStringLiteral("&List"), list_);
    form->addRow(QString(), load);
    form->addRow(QStringLiteral("Settling dela&y"), settle_);
    form->addRow(QStringLiteral("&Readings"), readings_);
    form->addRow(QStringLiteral("Re&peats"), row(repeats_, endless_));
    form->addRow(QStringLiteral("Sle&w"), row(slew_on_, slew_));
    form->addRow(QStringLiteral("&At the end"), end_);

    start_button_ = new QPushButton(QStringLiteral("Start"), this);
    start_button_->setAccessibleName(QStringLiteral("Start the sweep"));
    stop_button_ = new QPushButton(QStringLiteral("Stop"), this);
    stop_button_->setAccessibleName(QStringLiteral("Stop the sweep"));
    connect(start_button_, &QPushButton::clicked, this, [this] { start(); });
    connect(stop_button_, &QPushButton::clicked, this, [this] { stop(); });
    progress_ = new QProgressBar(this);
    progress_->setAccessibleName(QStringLiteral("Sweep progress"));
    progress_->setTextVisible(true);
    status_ = new QLabel(this);
    status_->setWordWrap(true);
    status_->setAccessibleName(QStringLiteral("Sweep status"));
    status_->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    status_->setFocusPolicy(Qt::StrongFocus);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(start_button_);
    buttons->addWidget(stop_button_);
    auto* left = new QVBoxLayout;
    left->addLayout(form);
    left->addLayout(buttons);
    left->addWidget(progress_);
    left->addWidget(status_);
    left->addStretch(1);

    plot_ = new QCustomPlot(this);
    plot_->setAccessibleName(QStringLiteral("Reading against set-point"));
    plot_->xAxis->setLabel(QStringLiteral("set-point (counts)"));
    plot_->yAxis->setLabel(QStringLiteral("reading (counts)"));
    plot_->setMinimumSize(420, 300);
    ideal_line_ = new QCPItemStraightLine(plot_);
    ideal_line_->point1->setCoords(0, 0);
    ideal_line_->point2->setCoords(1, 1);
    ideal_line_->setPen(QPen(QColor(160, 160, 160), 1, Qt::DashLine));
    ideal_ = new QCheckBox(QStringLiteral("&Ideal line y = x"), this);
    ideal_->setChecked(true);
    ideal_->setAccessibleName(QStringLiteral("Ideal line"));
    connect(ideal_, &QCheckBox::toggled, this, [this](bool on) {
        ideal_line_->setVisible(on);
        plot_->replot();
    });

    table_ = new QTableWidget(0, 8, this);
    table_->setHorizontalHeaderLabels({QStringLiteral("point"), QStringLiteral("repeat"),
                                       QStringLiteral("set-point"), QStringLiteral("mean"),
                                       QStringLiteral("min"), QStringLiteral("max"),
                                       QStringLiteral("marks"), QStringLiteral("time (s)")});
    table_->setAccessibleName(QStringLiteral("Table of points"));
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setTabKeyNavigation(false);
    table_->verticalHeader()->setVisible(false);

    auto* exports = new QHBoxLayout;
    for (const char* kind : {"CSV", "PNG", "SVG"}) {
        auto* b = new QPushButton(QStringLiteral("%1...").arg(QLatin1String(kind)), this);
        b->setAccessibleName(QStringLiteral("Export as %1").arg(QLatin1String(kind)));
        const QString k = QLatin1String(kind);
        connect(b, &QPushButton::clicked, this, [this, k] { export_to(k); });
        exports->addWidget(b);
    }
    exports->addStretch(1);
    exports->addWidget(ideal_);

    auto* right = new QVBoxLayout;
    right->addWidget(plot_, 3);
    right->addLayout(exports);
    right->addWidget(table_, 2);
    auto* top = new QHBoxLayout(this);
    top->addLayout(left, 0);
    top->addLayout(right, 1);

    for (QWidget* w : std::initializer_list<QWidget*>{shape_, direction_, end_})
        if (auto* c = qobject_cast<QComboBox*>(w))
            connect(c, &QComboBox::currentIndexChanged, this, [this] { update_enabled(); });
    connect(endless_, &QCheckBox::toggled, this, [this] { update_enabled(); });
    connect(slew_on_, &QCheckBox::toggled, this, [this] { update_enabled(); });
}

std::optional<sweep::Settings> SweepWindow::form_settings(QString* error) const
{
    sweep::Settings s = sweep_.settings();
    s.shape = shape_->currentIndex() == 1 ? sweep::Shape::list : sweep::Shape::staircase;
    s.start = start_value_->value();
    s.stop = stop_value_->value();
    s.step = step_->value();
    s.direction = static_cast<sweep::Direction>(direction_->currentIndex());
    s.settle_ms = static_cast<int>(std::lround(settle_->value() * 1000));
    s.readings = readings_->value();
    s.repeats = endless_->isChecked() ? 0 : repeats_->value();
    s.slew = slew_on_->isChecked() ? slew_->value() : 0;
    s.end = end_->currentIndex() == 1 ? sweep::EndState::hold : sweep::EndState::back;
    const std::string text = list_->toPlainText().toStdString();
    if (s.shape == sweep::Shape::list || !text.empty()) {
        const sweep::ParsedList parsed = sweep::parse_list(text);
        if (!parsed.error.empty() && s.shape == sweep::Shape::list) {
            if (error)
                *error = QStringLiteral("the list: %1").arg(QString::fromStdString(parsed.error));
            return std::nullopt;
        }
        if (parsed.error.empty())
            s.list = parsed.points;
    }
    return s;
}

bool SweepWindow::start()
{
    QString error;
    const auto s = form_settings(&error);
    std::string why = s ? sweep_.set_settings(*s) : error.toStdString();
    if (why.empty())
        why = sweep_.start();
    if (!why.empty()) {
        status_->setText(QStringLiteral("Not started: %1").arg(QString::fromStdString(why)));
        return false;
    }
    return true;
}

void SweepWindow::stop() { sweep_.stop(); }

void SweepWindow::on_event(sweep::Sweep::Event e)
{
    switch (e) {
    case sweep::Sweep::Event::started:
        table_->setRowCount(0);
        plot_->clearGraphs();
        plot_->clearPlottables();
        status_->setText(QStringLiteral("Running"));
        progress_timer_->start();
        break;
    case sweep::Sweep::Event::point:
        add_point(sweep_.results().back());
        break;
    case sweep::Sweep::Event::ended:
        progress_timer_->stop();
        status_->setText(QStringLiteral("Ended: %1").arg(QString::fromStdString(sweep_.end_reason())));
        break;
    }
    update_progress();
    update_enabled();
    if (!redraw_timer_->isActive())
        redraw_timer_->start();
}

void SweepWindow::add_point(const sweep::PointResult& p)
{
    const int row = table_->rowCount();
    // The table keeps the last 10000 rows; the export has them all.
    if (row >= 10000)
        table_->removeRow(0);
    const int r = table_->rowCount();
    table_->insertRow(r);
    const QString cells[] = {QString::number(p.point), QString::number(p.repeat),
                             QString::number(p.setpoint), QString::number(p.mean, 'f', 2),
                             QString::number(p.min), QString::number(p.max),
                             QString::fromStdString(sweep::marks(p)), QString::number(p.seconds, 'f', 3)};
    for (int c = 0; c < 8; ++c)
        table_->setItem(r, c, new QTableWidgetItem(cells[c]));
}

void SweepWindow::redraw()
{
    plot_->clearPlottables();
    const sweep::Settings& run = sweep_.running_settings();
    std::vector<QCPGraph*> traces;
    QCPErrorBars* bars = nullptr;
    double low = 0, high = 0;
    bool first = true;
    for (const sweep::PointResult& p : sweep_.results()) {
        while (static_cast<int>(traces.size()) < p.repeat) {
            auto* g = plot_->addGraph();
            const int n = static_cast<int>(traces.size()) + 1;
            g->setName(QStringLiteral("pass %1").arg(n));
            g->setPen(QPen(pass_colour(n)));
            g->setLineStyle(QCPGraph::lsLine);
            g->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, 5));
            traces.push_back(g);
        }
        if (p.in_range == 0)
            continue; // every reading over range: no number to draw
        QCPGraph* g = traces[static_cast<std::size_t>(p.repeat - 1)];
        g->addData(p.setpoint, p.mean);
        if (run.readings > 1) {
            if (!bars || bars->dataPlottable() != g) {
                bars = new QCPErrorBars(plot_->xAxis, plot_->yAxis);
                bars->setDataPlottable(g);
                bars->setPen(QPen(pass_colour(p.repeat)));
            }
            bars->addData(p.mean - p.min, p.max - p.mean);
        }
        for (double v : {static_cast<double>(p.setpoint), static_cast<double>(p.min), static_cast<double>(p.max)}) {
            low = first ? v : std::min(low, v);
            high = first ? v : std::max(high, v);
            first = false;
        }
    }
    // Error bars go with their graph's points one for one: a graph whose
    // points came without bars (an OR point skipped) keeps them in step.
    if (first) {
        low = -1000;
        high = 1000;
    }
    const double margin = std::max(10.0, (high - low) * 0.05);
    plot_->xAxis->setRange(low - margin, high + margin);
    plot_->yAxis->setRange(low - margin, high + margin);
    plot_->replot();
}

void SweepWindow::redraw_now()
{
    redraw_timer_->stop();
    redraw();
    plot_->repaint();
}

void SweepWindow::update_progress()
{
    const sweep::Progress p = sweep_.progress();
    if (p.total == 0) {
        progress_->setRange(0, 0);  // endless: busy
        progress_->setFormat(QStringLiteral("%1 points").arg(p.done));
        if (!sweep_.running())
            progress_->setRange(0, 1);
    } else {
        progress_->setRange(0, static_cast<int>(p.total));
        progress_->setValue(static_cast<int>(std::min(p.done, p.total)));
        progress_->setFormat(sweep_.running()
                                 ? QStringLiteral("%1 of %2 points, %3").arg(p.done).arg(p.total).arg(seconds_text(p.left_ms))
                                 : QStringLiteral("%1 of %2 points").arg(p.done).arg(p.total));
    }
    progress_->setAccessibleDescription(progress_->format());
}

void SweepWindow::update_enabled()
{
    const bool running = sweep_.running();
    const bool list = shape_->currentIndex() == 1;
    for (QWidget* w : std::initializer_list<QWidget*>{shape_, settle_, readings_, end_, slew_on_, endless_})
        w->setEnabled(!running);
    for (QWidget* w : std::initializer_list<QWidget*>{start_value_, stop_value_, step_, direction_})
        w->setEnabled(!running && !list);
    list_->setEnabled(!running && list);
    repeats_->setEnabled(!running && !endless_->isChecked());
    slew_->setEnabled(!running && slew_on_->isChecked());
    start_button_->setEnabled(!running);
    stop_button_->setEnabled(running);
}

void SweepWindow::load_list()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Load a list of set-points"),
                                                      QString(), QStringLiteral("CSV or text (*.csv *.txt);;All files (*)"));
    if (path.isEmpty())
        return;
    QFile f(path);
    // A list file is small: 2000 numbers. More is no list of ours.
    if (!f.open(QIODevice::ReadOnly) || f.size() > 1024 * 1024) {
        status_->setText(QStringLiteral("Not loaded: %1").arg(f.isOpen() ? QStringLiteral("the file is over 1 MiB") : f.errorString()));
        return;
    }
    const QByteArray bytes = f.readAll();
    const sweep::ParsedList parsed = sweep::parse_list(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    if (!parsed.error.empty()) {
        status_->setText(QStringLiteral("Not loaded: %1").arg(QString::fromStdString(parsed.error)));
        return;
    }
    QString typed;
    for (int v : parsed.points)
        typed += (typed.isEmpty() ? QString() : QStringLiteral("\n")) + QString::number(v);
    list_->setPlainText(typed);
    shape_->setCurrentIndex(1);
    status_->setText(QStringLiteral("Loaded %1 set-points").arg(parsed.points.size()));
}

void SweepWindow::export_to(const QString& kind)
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export the sweep as %1").arg(kind),
                                                      QStringLiteral("sweep.%1").arg(kind.toLower()));
    if (path.isEmpty())
        return;
    QString error;
    const bool ok = kind == QLatin1String("PNG")   ? export_png(path, &error)
                    : kind == QLatin1String("SVG") ? export_svg(path, &error)
                                                   : export_csv(path, &error);
    if (ok) {
        status_->setText(QStringLiteral("Saved %1").arg(path));
    } else {
        status_->setText(QStringLiteral("Not saved: %1").arg(error));
        std::fprintf(stderr, "korvel: export to %s failed (%s); choose a file in a folder you can write to\n",
                     qPrintable(path), qPrintable(error));
    }
}

bool SweepWindow::export_csv(const QString& path, QString* error)
{
    const std::string text = sweep::results_csv(sweep_.results());
    QSaveFile file(path);
    if (!open_for_saving(file, error))
        return false;
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())) {
        if (error)
            *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return commit(file, error);
}

bool SweepWindow::export_png(const QString& path, QString* error)
{
    redraw();
    QSaveFile file(path);
    if (!open_for_saving(file, error))
        return false;
    QImageWriter writer(&file, "png");
    if (!writer.write(plot_->toPixmap().toImage())) {
        if (error)
            *error = writer.errorString();
        file.cancelWriting();
        return false;
    }
    return commit(file, error);
}

bool SweepWindow::export_svg(const QString& path, QString* error)
{
    redraw();
    QSaveFile file(path);
    if (!open_for_saving(file, error))
        return false;
    QSvgGenerator svg;
    svg.setOutputDevice(&file);
    svg.setSize(plot_->size());
    svg.setViewBox(QRect(QPoint(0, 0), plot_->size()));
    svg.setTitle(windowTitle());
    QCPPainter painter;
    if (!painter.begin(&svg)) {
        if (error)
            *error = QStringLiteral("cannot draw into the file");
        file.cancelWriting();
        return false;
    }
    plot_->toPainter(&painter, plot_->width(), plot_->height());
    painter.end();
    return commit(file, error);
}

void SweepWindow::keyPressEvent(QKeyEvent* e)
{
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(e);
}

} // namespace korvel::sweepui
