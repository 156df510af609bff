// The trend window: the readings drawn against wall-clock time with
// QCustomPlot, the statistics beside it, the limits with their alarm lamp,
// and export of the graph (PNG, SVG) and of the readings (CSV).
//
// The readings come from a ReadingSource: the history in memory, or the
// reading store on disk, which keeps weeks of them. Drawing goes through
// ReadingSource::reduce() at one column per pixel, so a redraw costs the
// same for a minute as for a day of readings (a store answers long spans
// from its per-minute figures). The live readings, the limits and the
// statistics since a reset are the history's. The window keeps no
// settings: each one starts following the last minute, the y axis scaling
// itself.
//
// A review window (review()) shows a source read only, without a panel:
// "now" is its newest reading, and the statistics are over the span shown.
#pragma once

#include "history/reading_history.h"
#include "history/reading_source.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QCPGraph;
class QCPItemStraightLine;
class QCustomPlot;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTimer;

namespace korvel::trend {

class TrendWindow : public QWidget {
public:
    // The spans the view offers; `all` is every reading the source keeps.
    enum class Span { minute, ten_minutes, hour, day, week, thirty_days, all };
    // What the statistics read-outs cover: every reading since the last
    // reset (the history's running figures), or the readings of the span
    // shown (from the source).
    enum class Figures { since_reset, span_shown };

    // The history must outlive the window. It is also the source drawn.
    explicit TrendWindow(history::ReadingHistory& history, QWidget* parent = nullptr);
    // Draws from `source` (the reading store, say); live readings, limits
    // and the statistics since a reset come from `history`. Both must
    // outlive the window.
    TrendWindow(history::ReadingHistory& history, const history::ReadingSource& source,
                QWidget* parent = nullptr);
    // A window that only looks at `source` (which must outlive it): no
    // live readings, no reset, the statistics over the span shown. `what`
    // names what is looked at in the title (a file's name).
    static std::unique_ptr<TrendWindow> review(const history::ReadingSource& source, const QString& what);
    ~TrendWindow() override;
    TrendWindow(const TrendWindow&) = delete;
    TrendWindow& operator=(const TrendWindow&) = delete;

    // Where "now" comes from (ms since 1970-01-01 UTC): the wall clock
    // unless set, e.g. to a virtual clock.
    void set_clock(std::function<std::int64_t()> now);
    // Sounds the alarm's beep (the desktop's beep unless set).
    std::function<void()> beep;

    void set_span(Span span);
    Span span() const { return span_; }
    void set_figures(Figures figures);
    Figures figures() const { return figures_; }
    bool reviewing() const { return review_; }
    // Following: the view ends at "now" and moves with it. Zooming or
    // dragging the time axis pauses it.
    void set_following(bool on);
    bool following() const;
    // Automatic y range, or a fixed one from `low` to `high`.
    void set_auto_range(bool on);
    void set_fixed_range(int low, int high);

    // Redraws from the history now (otherwise done shortly after each
    // reading, and every second while following).
    void refresh();
    // Redraws from the history and paints the graph at once, as a redraw
    // on screen does; for the benchmark and the screenshot.
    void redraw_now();

    // The drawing and its controls, for tests and the benchmark.
    QCustomPlot* plot() const { return plot_; }
    QCPGraph* reading_graph() const { return readings_; }
    QCPGraph* setpoint_graph() const { return setpoints_; }
    // The statistics read-out of a figure: "count", "min", "max", "mean",
    // "sdev", "last", "over", "under", "failures".
    QLineEdit* readout(const char* figure) const;
    bool alarm() const { return alarm_on_; }

    // Export; on failure false, and *error says why in a clause.
    bool export_png(const QString& path, QString* error);
    bool export_svg(const QString& path, QString* error);
    bool export_csv(const QString& path, QString* error);

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;

private:
    // history: nullptr for a review, which then owns `own`.
    TrendWindow(std::unique_ptr<history::ReadingHistory> own, history::ReadingHistory* history,
                const history::ReadingSource& source, QWidget* parent);

    QWidget* build_view_controls();
    QWidget* build_statistics();
    QWidget* build_limits();
    QWidget* build_export();
    void schedule_refresh();
    void draw();
    void show_statistics(std::int64_t t0, std::int64_t t1, std::size_t outside);
    void show_limits_from_history();
    void apply_limits();
    void set_alarm(bool on);
    void reset_statistics();
    void on_range_changed();
    void ask_and_export(const QString& kind);
    std::int64_t now_ms() const;
    std::int64_t span_ms() const;

    // The history of a review window: holds its limits, never a reading.
    std::unique_ptr<history::ReadingHistory> own_;
    history::ReadingHistory& history_;
    const history::ReadingSource& source_;
    bool review_ = false;
    Figures figures_ = Figures::since_reset;
    std::function<std::int64_t()> clock_;
    int listener_key_ = -1;
    Span span_ = Span::minute;
    bool drawing_ = false;  // the window itself moves the axes
    bool alarm_on_ = false;

    QCustomPlot* plot_ = nullptr;
    QCPGraph* readings_ = nullptr;
    QCPGraph* setpoints_ = nullptr;
    QCPGraph* over_marks_ = nullptr;
    QCPGraph* under_marks_ = nullptr;
    QCPGraph* limit_marks_ = nullptr;
    QCPItemStraightLine* lower_line_ = nullptr;
    QCPItemStraightLine* upper_line_ = nullptr;

    QComboBox* span_box_ = nullptr;
    QComboBox* figures_box_ = nullptr;
    QPushButton* reset_ = nullptr;
    QCheckBox* follow_box_ = nullptr;
    QCheckBox* auto_box_ = nullptr;
    QSpinBox* y_low_ = nullptr;
    QSpinBox* y_high_ = nullptr;
    QCheckBox* limits_box_ = nullptr;
    QSpinBox* lower_box_ = nullptr;
    QSpinBox* upper_box_ = nullptr;
    QLabel* alarm_lamp_ = nullptr;
    QCheckBox* beep_box_ = nullptr;
    QLabel* status_ = nullptr;
    QTimer* soon_ = nullptr;    // one redraw shortly after new readings
    QTimer* ticker_ = nullptr;  // the view moving with the clock while following
    struct Readout {
        const char* figure;
        QLineEdit* box;
    };
    std::vector<Readout> readouts_;
};

} // namespace korvel::trend
