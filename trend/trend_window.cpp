#include "trend/trend_window.h"

#include "history/reading_csv.h"

#include <qcustomplot.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImageWriter>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QShortcut>
#include <QSpinBox>
#include <QSvgGenerator>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace korvel::trend {

namespace {

constexpr int reading_limit = 19999;   // the voltmeter's range either side of zero
constexpr int setpoint_limit = 30000;  // the set-point's
constexpr std::int64_t minute_ms = 60'000;
// Readings further apart than this (the panel was OFF, or in another mode)
// are not joined by the line.
constexpr std::int64_t gap_ms = 10'000;

const QColor reading_colour(0x1f, 0x5f, 0xbf);
const QColor setpoint_colour(0xa8, 0xdc, 0xa0);
const QColor limit_colour(0xd0, 0x20, 0x20);
const QColor mark_colour(0xc0, 0x70, 0x00);

QString signed_text(double v, int decimals)
{
    return (v < 0 ? QString() : QStringLiteral("+")) + QString::number(v, 'f', decimals);
}

double key_of(std::int64_t ms) { return static_cast<double>(ms) / 1000.0; }

QSpinBox* value_box(int low, int high, int value, const QString& name)
{
    auto* b = new QSpinBox;
    b->setRange(low, high);
    b->setValue(value);
    b->setAccessibleName(name);
    b->setKeyboardTracking(false);  // typed digits count once Enter or the focus leaves
    return b;
}

void add_point(QVector<double>& keys, QVector<double>& values, double key, double value)
{
    if (!values.isEmpty() && keys.back() == key && values.back() == value)
        return;
    keys.append(key);
    values.append(value);
}

// A point of a line that holds its value for long stretches (the
// set-point): the middle points of a level stretch are left out, so the
// line has only as many points as it has corners.
void add_level(QVector<double>& keys, QVector<double>& values, double key, double value)
{
    const qsizetype n = values.size();
    if (n >= 2 && values[n - 1] == value && values[n - 2] == value) {
        keys[n - 1] = key;
        return;
    }
    add_point(keys, values, key, value);
}

void add_gap(QVector<double>& keys, QVector<double>& values, double key)
{
    if (values.isEmpty() || std::isnan(values.back()))
        return;
    keys.append(key);
    values.append(std::numeric_limits<double>::quiet_NaN());
}

} // namespace

TrendWindow::TrendWindow(history::ReadingHistory& history, QWidget* parent)
    : TrendWindow(nullptr, &history, history, parent)
{
}

TrendWindow::TrendWindow(history::ReadingHistory& history, const history::ReadingSource& source,
                         QWidget* parent)
    : TrendWindow(nullptr, &history, source, parent)
{
}

std::unique_ptr<TrendWindow> TrendWindow::review(const history::ReadingSource& source, const QString& what)
{
    std::unique_ptr<TrendWindow> w(
        new TrendWindow(std::make_unique<history::ReadingHistory>(1), nullptr, source, nullptr));
    w->setWindowTitle(QStringLiteral("Korvel trend review: %1").arg(what));
    w->setAccessibleName(QStringLiteral("Trend review"));
    w->setAccessibleDescription(QStringLiteral("Readings of %1, read only").arg(what));
    // Closing it ends the review.
    w->setAttribute(Qt::WA_QuitOnClose, true);
    return w;
}

TrendWindow::TrendWindow(std::unique_ptr<history::ReadingHistory> own, history::ReadingHistory* history,
                         const history::ReadingSource& source, QWidget* parent)
    : QWidget(parent, Qt::Window),
      own_(std::move(own)),
      history_(history ? *history : *own_),
      source_(source),
      review_(history == nullptr)
{
    setObjectName(QStringLiteral("trend_window"));
    setWindowTitle(QStringLiteral("Korvel trend"));
    setAccessibleName(QStringLiteral("Trend"));
    // Closing it only hides it; the program ends with the panel's window.
    setAttribute(Qt::WA_QuitOnClose, false);
    beep = [] { QApplication::beep(); };

    plot_ = new QCustomPlot;
    plot_->setObjectName(QStringLiteral("trend_plot"));
    plot_->setAccessibleName(QStringLiteral("Trend graph"));
    plot_->setAccessibleDescription(
        QStringLiteral("Readings against time. Left and Right move the time span, Up and Down "
                       "zoom in and out, Home follows the newest reading"));
    plot_->setFocusPolicy(Qt::StrongFocus);
    plot_->setMinimumSize(480, 300);
    plot_->installEventFilter(this);
    plot_->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    plot_->axisRect()->setRangeZoomFactor(0.85);
    // Bound once: each reading is already one point per pixel column.
    plot_->setNotAntialiasedElements(QCP::aeAll);

    auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
    ticker->setDateTimeFormat(QStringLiteral("hh:mm:ss"));
    plot_->xAxis->setTicker(ticker);
    plot_->xAxis->setLabel(QStringLiteral("time"));
    plot_->yAxis->setLabel(QStringLiteral("reading"));
    // The range marks sit on a hidden 0..1 axis: at the top edge for over
    // range, the bottom edge for under range, whatever the reading scale.
    plot_->yAxis2->setRange(0, 1);

    // The set-point first, light, so that the reading on top of it shows
    // and any gap between them too. The reading's pen stays one pixel
    // wide: a wide pen costs many times more to draw.
    setpoints_ = plot_->addGraph();
    setpoints_->setName(QStringLiteral("set-point (ZEP)"));
    setpoints_->setPen(QPen(setpoint_colour, 4));
    readings_ = plot_->addGraph();
    readings_->setName(QStringLiteral("reading"));
    readings_->setPen(QPen(reading_colour, 1));
    limit_marks_ = plot_->addGraph();
    limit_marks_->setName(QStringLiteral("outside limits"));
    limit_marks_->setLineStyle(QCPGraph::lsNone);
    limit_marks_->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, limit_colour, 7));
    over_marks_ = plot_->addGraph(plot_->xAxis, plot_->yAxis2);
    over_marks_->setName(QStringLiteral("over range"));
    over_marks_->setLineStyle(QCPGraph::lsNone);
    over_marks_->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssTriangle, mark_colour, mark_colour, 8));
    under_marks_ = plot_->addGraph(plot_->xAxis, plot_->yAxis2);
    under_marks_->setName(QStringLiteral("under range"));
    under_marks_->setLineStyle(QCPGraph::lsNone);
    under_marks_->setScatterStyle(
        QCPScatterStyle(QCPScatterStyle::ssTriangleInverted, mark_colour, mark_colour, 8));
    for (QCPItemStraightLine** line : {&lower_line_, &upper_line_}) {
        *line = new QCPItemStraightLine(plot_);
        (*line)->setPen(QPen(limit_colour, 1, Qt::DashDotLine));
        (*line)->setVisible(false);
    }
    plot_->legend->setVisible(true);
    QFont legend_font = font();
    legend_font.setPointSizeF(legend_font.pointSizeF() * 0.85);
    plot_->legend->setFont(legend_font);
    plot_->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignLeft);

    connect(plot_->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            [this] { on_range_changed(); });
    connect(plot_->yAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            [this](const QCPRange& r) {
                if (drawing_)
                    return;
                // Dragged or zoomed by the user with a fixed range: the
                // boxes follow.
                const QSignalBlocker a(y_low_), b(y_high_);
                y_low_->setValue(static_cast<int>(std::lround(r.lower)));
                y_high_->setValue(static_cast<int>(std::lround(r.upper)));
            });

    auto* side = new QVBoxLayout;
    side->addWidget(build_view_controls());
    side->addWidget(build_statistics());
    side->addWidget(build_limits());
    side->addWidget(build_export());
    side->addStretch(1);
    status_ = new QLabel;
    status_->setObjectName(QStringLiteral("trend_status"));
    status_->setAccessibleName(QStringLiteral("Export result"));
    status_->setWordWrap(true);
    status_->setTextFormat(Qt::PlainText);
    side->addWidget(status_);

    auto* layout = new QHBoxLayout(this);
    layout->addWidget(plot_, 1);
    layout->addLayout(side);

    soon_ = new QTimer(this);
    soon_->setSingleShot(true);
    soon_->setInterval(100);
    connect(soon_, &QTimer::timeout, this, [this] { refresh(); });
    ticker_ = new QTimer(this);
    ticker_->setInterval(1000);
    connect(ticker_, &QTimer::timeout, this, [this] {
        if (following())
            schedule_refresh();
    });

    auto* close_key = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(close_key, &QShortcut::activated, this, &QWidget::close);

    listener_key_ = history_.on_add([this](const history::Sample& s) {
        if (s.mark == history::Mark::none || s.limit != history::Limit::none)
            set_alarm(s.limit != history::Limit::none);
        schedule_refresh();
    });

    show_limits_from_history();
    resize(1100, 600);
    refresh();
}

TrendWindow::~TrendWindow() { history_.forget(listener_key_); }

QWidget* TrendWindow::build_view_controls()
{
    auto* box = new QGroupBox(QStringLiteral("View"));
    auto* form = new QFormLayout(box);

    span_box_ = new QComboBox;
    span_box_->setObjectName(QStringLiteral("trend_span"));
    span_box_->addItems({QStringLiteral("1 min"), QStringLiteral("10 min"), QStringLiteral("1 h"),
                         QStringLiteral("1 day"), QStringLiteral("7 days"), QStringLiteral("30 days"),
                         QStringLiteral("all")});
    span_box_->setAccessibleName(QStringLiteral("Time span"));
    connect(span_box_, &QComboBox::activated, this,
            [this](int index) { set_span(static_cast<Span>(index)); });
    form->addRow(QStringLiteral("&Span"), span_box_);

    follow_box_ = new QCheckBox(QStringLiteral("&Follow"));
    follow_box_->setObjectName(QStringLiteral("trend_follow"));
    follow_box_->setAccessibleDescription(
        QStringLiteral("The view moves with the newest reading; off pauses it"));
    follow_box_->setChecked(true);
    connect(follow_box_, &QCheckBox::toggled, this, [this](bool on) { set_following(on); });
    form->addRow(follow_box_);

    auto_box_ = new QCheckBox(QStringLiteral("&Automatic range"));
    auto_box_->setObjectName(QStringLiteral("trend_auto_range"));
    auto_box_->setAccessibleDescription(
        QStringLiteral("The reading axis fits the readings shown; off keeps the range below"));
    auto_box_->setChecked(true);
    connect(auto_box_, &QCheckBox::toggled, this, [this](bool on) { set_auto_range(on); });
    form->addRow(auto_box_);

    y_low_ = value_box(-setpoint_limit, setpoint_limit, -reading_limit, QStringLiteral("Range bottom"));
    y_high_ = value_box(-setpoint_limit, setpoint_limit, reading_limit, QStringLiteral("Range top"));
    y_low_->setObjectName(QStringLiteral("trend_range_low"));
    y_high_->setObjectName(QStringLiteral("trend_range_high"));
    for (QSpinBox* b : {y_low_, y_high_}) {
        b->setEnabled(false);
        connect(b, &QSpinBox::valueChanged, this,
                [this] { set_fixed_range(y_low_->value(), y_high_->value()); });
    }
    form->addRow(QStringLiteral("&Bottom"), y_low_);
    form->addRow(QStringLiteral("&Top"), y_high_);
    return box;
}

QWidget* TrendWindow::build_statistics()
{
    auto* box = new QGroupBox(QStringLiteral("Statistics"));
    box->setAccessibleDescription(
        QStringLiteral("Since the last reset or over the span shown; over and under range readings "
                       "are counted apart"));
    auto* form = new QFormLayout(box);
    figures_box_ = new QComboBox;
    figures_box_->setObjectName(QStringLiteral("trend_figures"));
    figures_box_->addItems({QStringLiteral("since the reset"), QStringLiteral("the span shown")});
    figures_box_->setAccessibleName(QStringLiteral("Statistics over"));
    figures_box_->setAccessibleDescription(
        QStringLiteral("Every reading since the last reset, or the readings of the span shown"));
    connect(figures_box_, &QComboBox::activated, this,
            [this](int index) { set_figures(static_cast<Figures>(index)); });
    form->addRow(QStringLiteral("&Over"), figures_box_);
    struct Row {
        const char* figure;
        const char* label;
        const char* name;
    };
    const Row rows[] = {
        {"count", "Count", "Count of readings"},
        {"min", "Min", "Minimum reading"},
        {"max", "Max", "Maximum reading"},
        {"mean", "Mean", "Mean reading"},
        {"sdev", "Std dev", "Standard deviation"},
        {"last", "Last", "Last reading"},
        {"over", "Over range", "Over range readings"},
        {"under", "Under range", "Under range readings"},
        {"failures", "Outside limits", "Readings outside the limits"},
    };
    for (const Row& r : rows) {
        auto* e = new QLineEdit;
        e->setReadOnly(true);
        e->setObjectName(QStringLiteral("trend_%1").arg(QLatin1String(r.figure)));
        e->setAccessibleName(QString::fromUtf8(r.name));
        e->setAlignment(Qt::AlignRight);
        e->setMinimumWidth(e->fontMetrics().horizontalAdvance(QStringLiteral("+00000.0 OR")) + 12);
        form->addRow(QString::fromUtf8(r.label), e);
        readouts_.push_back({r.figure, e});
    }
    reset_ = new QPushButton(QStringLiteral("&Reset statistics"));
    reset_->setObjectName(QStringLiteral("trend_reset"));
    reset_->setAccessibleDescription(
        QStringLiteral("Starts the statistics and the count outside the limits again"));
    connect(reset_, &QPushButton::clicked, this, [this] { reset_statistics(); });
    form->addRow(reset_);
    if (review_) {
        // A file looked at has no running figures: only the span's.
        figures_ = Figures::span_shown;
        figures_box_->setCurrentIndex(static_cast<int>(figures_));
        figures_box_->setEnabled(false);
        reset_->hide();
    }
    return box;
}

QWidget* TrendWindow::build_limits()
{
    auto* box = new QGroupBox(QStringLiteral("Limits"));
    auto* form = new QFormLayout(box);
    limits_box_ = new QCheckBox(QStringLiteral("&Limits on"));
    limits_box_->setObjectName(QStringLiteral("trend_limits_on"));
    limits_box_->setAccessibleDescription(
        QStringLiteral("Readings below the lower or above the upper limit are marked and counted"));
    form->addRow(limits_box_);
    lower_box_ = value_box(-reading_limit, reading_limit, -reading_limit, QStringLiteral("Lower limit"));
    upper_box_ = value_box(-reading_limit, reading_limit, reading_limit, QStringLiteral("Upper limit"));
    lower_box_->setObjectName(QStringLiteral("trend_lower_limit"));
    upper_box_->setObjectName(QStringLiteral("trend_upper_limit"));
    form->addRow(QStringLiteral("Lo&wer"), lower_box_);
    form->addRow(QStringLiteral("U&pper"), upper_box_);
    connect(limits_box_, &QCheckBox::toggled, this, [this] { apply_limits(); });
    connect(lower_box_, &QSpinBox::valueChanged, this, [this] { apply_limits(); });
    connect(upper_box_, &QSpinBox::valueChanged, this, [this] { apply_limits(); });

    alarm_lamp_ = new QLabel;
    alarm_lamp_->setObjectName(QStringLiteral("trend_alarm"));
    alarm_lamp_->setAccessibleName(QStringLiteral("Limit alarm"));
    alarm_lamp_->setAlignment(Qt::AlignCenter);
    alarm_lamp_->setAutoFillBackground(true);
    alarm_lamp_->setFocusPolicy(Qt::TabFocus);  // a screen reader reaches it
    alarm_lamp_->setMinimumHeight(22);
    set_alarm(false);
    form->addRow(QStringLiteral("Alarm"), alarm_lamp_);
    beep_box_ = new QCheckBox(QStringLiteral("Bee&p on alarm"));
    beep_box_->setObjectName(QStringLiteral("trend_beep"));
    form->addRow(beep_box_);
    return box;
}

QWidget* TrendWindow::build_export()
{
    auto* box = new QGroupBox(QStringLiteral("Export"));
    auto* row = new QHBoxLayout(box);
    const std::pair<const char*, const char*> kinds[] = {
        {"PNG", "Saves the graph as a PNG picture"},
        {"SVG", "Saves the graph as an SVG drawing"},
        {"CSV", "Saves every reading kept as CSV"}};
    for (const auto& [kind, what] : kinds) {
        auto* b = new QPushButton(QStringLiteral("%1...").arg(QLatin1String(kind)));
        b->setObjectName(QStringLiteral("trend_export_%1").arg(QLatin1String(kind).toString().toLower()));
        b->setAccessibleName(QStringLiteral("Export %1").arg(QLatin1String(kind)));
        b->setAccessibleDescription(QString::fromUtf8(what));
        const QString k = QLatin1String(kind);
        connect(b, &QPushButton::clicked, this, [this, k] { ask_and_export(k); });
        row->addWidget(b);
    }
    return box;
}

void TrendWindow::set_clock(std::function<std::int64_t()> now)
{
    clock_ = std::move(now);
    refresh();
}

std::int64_t TrendWindow::now_ms() const
{
    if (review_ && !clock_)
        if (const auto range = source_.time_range())
            return range->second + 1;  // the end of what is looked at
    return clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch();
}

std::int64_t TrendWindow::span_ms() const
{
    switch (span_) {
    case Span::minute: return minute_ms;
    case Span::ten_minutes: return 10 * minute_ms;
    case Span::hour: return 60 * minute_ms;
    case Span::day: return 24 * 60 * minute_ms;
    case Span::week: return 7 * 24 * 60 * minute_ms;
    case Span::thirty_days: return 30 * 24 * 60 * minute_ms;
    case Span::all: break;
    }
    return 0;
}

void TrendWindow::set_span(Span span)
{
    span_ = span;
    {
        const QSignalBlocker block(span_box_);
        span_box_->setCurrentIndex(static_cast<int>(span));
    }
    // Choosing a span shows its newest part.
    set_following(true);
}

void TrendWindow::set_figures(Figures figures)
{
    if (review_)
        figures = Figures::span_shown;
    figures_ = figures;
    {
        const QSignalBlocker block(figures_box_);
        figures_box_->setCurrentIndex(static_cast<int>(figures));
    }
    reset_->setEnabled(figures == Figures::since_reset);
    refresh();
}

bool TrendWindow::following() const { return follow_box_->isChecked(); }

void TrendWindow::set_following(bool on)
{
    if (follow_box_->isChecked() != on) {
        const QSignalBlocker block(follow_box_);
        follow_box_->setChecked(on);
    }
    refresh();
}

void TrendWindow::set_auto_range(bool on)
{
    if (auto_box_->isChecked() != on) {
        const QSignalBlocker block(auto_box_);
        auto_box_->setChecked(on);
    }
    y_low_->setEnabled(!on);
    y_high_->setEnabled(!on);
    // With a fixed range the reading axis can be dragged and zoomed too.
    const Qt::Orientations o = on ? Qt::Horizontal : (Qt::Horizontal | Qt::Vertical);
    plot_->axisRect()->setRangeDrag(o);
    plot_->axisRect()->setRangeZoom(o);
    if (!on) {
        const QCPRange r = plot_->yAxis->range();
        const QSignalBlocker a(y_low_), b(y_high_);
        y_low_->setValue(static_cast<int>(std::floor(r.lower)));
        y_high_->setValue(static_cast<int>(std::ceil(r.upper)));
    }
    refresh();
}

void TrendWindow::set_fixed_range(int low, int high)
{
    if (low > high)
        std::swap(low, high);
    if (low == high)
        ++high;
    if (auto_box_->isChecked())
        set_auto_range(false);  // takes the range shown, then this one
    {
        const QSignalBlocker a(y_low_), b(y_high_);
        y_low_->setValue(low);
        y_high_->setValue(high);
    }
    refresh();
}

QLineEdit* TrendWindow::readout(const char* figure) const
{
    for (const Readout& r : readouts_)
        if (QLatin1String(r.figure) == QLatin1String(figure))
            return r.box;
    return nullptr;
}

void TrendWindow::schedule_refresh()
{
    if (isVisible() && !soon_->isActive())
        soon_->start();
}

void TrendWindow::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    if (!review_)
        ticker_->start();  // a file looked at does not move with the clock
    refresh();
}

void TrendWindow::hideEvent(QHideEvent* e)
{
    ticker_->stop();
    soon_->stop();
    QWidget::hideEvent(e);
}

bool TrendWindow::eventFilter(QObject* watched, QEvent* e)
{
    if (watched == plot_ && e->type() == QEvent::Resize)
        schedule_refresh();  // one column per pixel: the reduction changes
    if (watched == plot_ && e->type() == QEvent::KeyPress) {
        auto* k = static_cast<QKeyEvent*>(e);
        QCPAxis* x = plot_->xAxis;
        const double size = x->range().size();
        switch (k->key()) {
        case Qt::Key_Left: x->moveRange(-size / 10); return true;
        case Qt::Key_Right: x->moveRange(size / 10); return true;
        case Qt::Key_Up:
        case Qt::Key_Plus: x->scaleRange(0.8, x->range().center()); return true;
        case Qt::Key_Down:
        case Qt::Key_Minus: x->scaleRange(1.25, x->range().center()); return true;
        case Qt::Key_Home: set_following(true); return true;
        default: break;
        }
    }
    return QWidget::eventFilter(watched, e);
}

void TrendWindow::on_range_changed()
{
    if (drawing_)
        return;
    // The user moved or zoomed the time axis: the view stays where it was
    // put, and gets the readings of its new span.
    if (following()) {
        const QSignalBlocker block(follow_box_);
        follow_box_->setChecked(false);
    }
    schedule_refresh();
    if (!isVisible())
        refresh();
}

void TrendWindow::refresh()
{
    draw();
    plot_->replot(isVisible() ? QCustomPlot::rpQueuedReplot : QCustomPlot::rpImmediateRefresh);
}

void TrendWindow::redraw_now()
{
    draw();
    plot_->replot(QCustomPlot::rpImmediateRefresh);
}

void TrendWindow::draw()
{
    drawing_ = true;
    show_limits_from_history();

    std::int64_t t0 = 0, t1 = 0;
    if (following()) {
        const auto kept = source_.time_range();
        t1 = now_ms();
        if (kept)
            t1 = std::max(t1, kept->second + 1);
        if (span_ == Span::all)
            t0 = kept ? std::min(kept->first, t1 - minute_ms) : t1 - minute_ms;
        else
            t0 = t1 - span_ms();
        plot_->xAxis->setRange(key_of(t0), key_of(t1));
    } else {
        // However far the user zoomed out, the times stay within what the
        // reduction can count in milliseconds (some 30 000 years either way).
        const QCPRange r = plot_->xAxis->range();
        constexpr double far_s = 1e12;
        t0 = static_cast<std::int64_t>(std::llround(std::clamp(r.lower, -far_s, far_s) * 1000.0));
        t1 = std::max<std::int64_t>(t0 + 1, std::llround(std::clamp(r.upper, -far_s, far_s) * 1000.0));
    }
    auto* ticker = static_cast<QCPAxisTickerDateTime*>(plot_->xAxis->ticker().data());
    ticker->setDateTimeFormat(t1 - t0 > 24 * 60 * minute_ms ? QStringLiteral("dd.MM. hh:mm")
                                                             : QStringLiteral("hh:mm:ss"));

    const int columns = std::max(1, plot_->axisRect()->width());
    const std::vector<history::Column> reduced = source_.reduce(t0, t1, columns);
    const std::int64_t width = std::max<std::int64_t>(1, (t1 - t0) / columns);
    const std::int64_t gap = std::max(gap_ms, 3 * width);

    QVector<double> rk, rv, sk, sv, lk, lv, ok, ov, uk, uv;
    std::size_t outside = 0;  // readings outside the limits, as judged when taken
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    // Where each line last had a point (a gap before the first is no gap:
    // add_gap ignores it).
    std::int64_t last_reading = t0;
    std::int64_t last_setpoint = t0;
    for (const history::Column& c : reduced) {
        const std::int64_t mid_ms = c.t0 + (c.t1 - c.t0) / 2;
        const double mid = key_of(mid_ms);
        outside += c.low + c.high;
        if (c.count > 0) {
            if (mid_ms - last_reading > gap)
                add_gap(rk, rv, key_of(mid_ms - gap / 2));
            // first, the extremes, last: every peak of the column is drawn
            // and the line runs on from where the column ended.
            const bool rising = c.first <= c.last;
            add_point(rk, rv, mid, c.first);
            add_point(rk, rv, mid, rising ? c.min : c.max);
            add_point(rk, rv, mid, rising ? c.max : c.min);
            add_point(rk, rv, mid, c.last);
            last_reading = mid_ms;
            low = std::min(low, double(c.min));
            high = std::max(high, double(c.max));
            if (c.low > 0) {
                lk.append(mid);
                lv.append(c.min);
            }
            if (c.high > 0) {
                lk.append(mid);
                lv.append(c.max);
            }
        }
        if (c.zep > 0) {
            if (mid_ms - last_setpoint > gap)
                add_gap(sk, sv, key_of(mid_ms - gap / 2));
            add_level(sk, sv, mid, c.setpoint_min);
            add_level(sk, sv, mid, c.setpoint_max);
            last_setpoint = mid_ms;
            low = std::min(low, double(c.setpoint_min));
            high = std::max(high, double(c.setpoint_max));
        } else if (c.count + c.over + c.under > 0) {
            add_gap(sk, sv, mid);  // readings in another mode: no set-point driven
        }
        if (c.over > 0) {
            ok.append(mid);
            ov.append(0.96);
        }
        if (c.under > 0) {
            uk.append(mid);
            uv.append(0.04);
        }
    }
    readings_->setData(rk, rv, true);
    setpoints_->setData(sk, sv, true);
    // Broad under the reading where it has few corners, so that it shows
    // beside a reading that follows it closely; one pixel where it has
    // many, as a broad pen costs many times more to draw.
    const int setpoint_width = sk.size() <= 400 ? 4 : 1;
    if (setpoints_->pen().width() != setpoint_width)
        setpoints_->setPen(QPen(setpoint_colour, setpoint_width));
    limit_marks_->setData(lk, lv, true);
    over_marks_->setData(ok, ov, true);
    under_marks_->setData(uk, uv, true);

    const history::Limits limits = history_.limits();
    lower_line_->setVisible(limits.enabled);
    upper_line_->setVisible(limits.enabled);
    lower_line_->point1->setCoords(0, limits.lower);
    lower_line_->point2->setCoords(1, limits.lower);
    upper_line_->point1->setCoords(0, limits.upper);
    upper_line_->point2->setCoords(1, limits.upper);

    if (auto_box_->isChecked()) {
        if (limits.enabled && low <= high) {
            // The limits show when the readings come near them.
            const double reach = std::max(10.0, (high - low) * 0.5);
            if (limits.lower >= low - reach)
                low = std::min(low, double(limits.lower));
            if (limits.upper <= high + reach)
                high = std::max(high, double(limits.upper));
        }
        if (low > high) {
            low = -100;
            high = 100;
        }
        const double margin = std::max(5.0, (high - low) * 0.05);
        plot_->yAxis->setRange(low - margin, high + margin);
    } else {
        plot_->yAxis->setRange(y_low_->value(), y_high_->value());
    }
    show_statistics(t0, t1, outside);
    drawing_ = false;
}

void TrendWindow::show_statistics(std::int64_t t0, std::int64_t t1, std::size_t outside)
{
    const bool span = figures_ == Figures::span_shown;
    const history::Statistics s = span ? source_.statistics(t0, t1) : history_.statistics();
    const bool any = s.count > 0;
    const QString none = QStringLiteral("none");
    QString last = none;
    if (s.last) {
        last = signed_text(s.last->value, 0);
        if (s.last->mark == history::Mark::over)
            last += QStringLiteral(" OR");
        else if (s.last->mark == history::Mark::under)
            last += QStringLiteral(" UR");
    }
    const std::pair<const char*, QString> figures[] = {
        {"count", QString::number(s.count)},
        {"min", any ? signed_text(s.min, 0) : none},
        {"max", any ? signed_text(s.max, 0) : none},
        {"mean", any ? signed_text(s.mean, 1) : none},
        {"sdev", s.count > 1 ? QString::number(s.sdev, 'f', 2) : none},
        {"last", last},
        {"over", QString::number(s.over)},
        {"under", QString::number(s.under)},
        {"failures", QString::number(span ? outside : history_.limit_failures())},
    };
    for (const auto& [figure, text] : figures) {
        QLineEdit* e = readout(figure);
        // Only a change is set, so that a screen reader hears only changes.
        if (e->text() != text)
            e->setText(text);
    }
}

void TrendWindow::show_limits_from_history()
{
    // The limits may be set from elsewhere too (the remote interface).
    const history::Limits l = history_.limits();
    const QSignalBlocker a(limits_box_), b(lower_box_), c(upper_box_);
    if (limits_box_->isChecked() != l.enabled)
        limits_box_->setChecked(l.enabled);
    if (lower_box_->value() != l.lower && !lower_box_->hasFocus())
        lower_box_->setValue(l.lower);
    if (upper_box_->value() != l.upper && !upper_box_->hasFocus())
        upper_box_->setValue(l.upper);
    if (!l.enabled)
        set_alarm(false);
}

void TrendWindow::apply_limits()
{
    history::Limits l;
    l.enabled = limits_box_->isChecked();
    l.lower = lower_box_->value();
    l.upper = upper_box_->value();
    if (l.lower > l.upper) {
        // A lower limit above the upper would fail every reading: the limit
        // just moved takes the other along.
        const bool lower_moved = sender() == lower_box_ || lower_box_->hasFocus();
        const QSignalBlocker a(lower_box_), b(upper_box_);
        if (lower_moved) {
            l.upper = l.lower;
            upper_box_->setValue(l.upper);
        } else {
            l.lower = l.upper;
            lower_box_->setValue(l.lower);
        }
    }
    history_.set_limits(l);
    if (!l.enabled)
        set_alarm(false);
    refresh();
}

void TrendWindow::set_alarm(bool on)
{
    const bool rising = on && !alarm_on_;
    alarm_on_ = on;
    alarm_lamp_->setText(on ? QStringLiteral("outside limits") : QStringLiteral("inside"));
    QPalette p = alarm_lamp_->palette();
    p.setColor(QPalette::Window, on ? limit_colour : QColor(0x40, 0x40, 0x40));
    p.setColor(QPalette::WindowText, on ? Qt::white : QColor(0xc0, 0xc0, 0xc0));
    alarm_lamp_->setPalette(p);
    if (rising && beep_box_ && beep_box_->isChecked() && beep)
        beep();
}

void TrendWindow::reset_statistics()
{
    history_.clear_statistics();
    set_alarm(false);
    refresh();
}

void TrendWindow::ask_and_export(const QString& kind)
{
    const QString suffix = kind.toLower();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Export %1").arg(kind), QStringLiteral("korvel-trend-%1.%2").arg(stamp, suffix),
        QStringLiteral("%1 files (*.%2)").arg(kind, suffix));
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

namespace {

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

bool TrendWindow::export_png(const QString& path, QString* error)
{
    refresh();
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

bool TrendWindow::export_svg(const QString& path, QString* error)
{
    refresh();
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

bool TrendWindow::export_csv(const QString& path, QString* error)
{
    QSaveFile file(path);
    if (!open_for_saving(file, error))
        return false;
    // Every reading kept, a piece at a time: a month of them is never held
    // as text at once.
    const auto kept = source_.time_range();
    const std::int64_t t0 = kept ? kept->first : 0;
    history::CsvCursor rows(source_, t0, kept ? kept->second + 1 : 0, t0);
    std::string piece;
    bool more = true;
    while (more) {
        piece.clear();
        more = rows.next(piece, 1 << 20);
        if (file.write(piece.data(), static_cast<qint64>(piece.size())) != static_cast<qint64>(piece.size())) {
            if (error)
                *error = file.errorString();
            file.cancelWriting();
            return false;
        }
    }
    return commit(file, error);
}

} // namespace korvel::trend
