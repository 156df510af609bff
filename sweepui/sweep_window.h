// The sweep window: the sweep's parameters, Start and Stop, the progress with
// the time left, the reading against the set-point drawn live with
// QCustomPlot (a trace per pass, min/max error bars when a point takes
// several readings, the ideal line y = x), a table of the points, and
// export as CSV, PNG and SVG. A front end of the one sweep::Sweep the panel
// session owns: Start and Stop are the engine's, so the remote interface
// and the web page see the same sweep.
#pragma once

#include "sweep/sweep.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QCPItemStraightLine;
class QCustomPlot;
class QDoubleSpinBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimer;

namespace korvel::sweepui {

class SweepWindow : public QWidget {
public:
    // The sweep must outlive the window.
    explicit SweepWindow(sweep::Sweep& sweep, QWidget* parent = nullptr);
    ~SweepWindow() override;
    SweepWindow(const SweepWindow&) = delete;
    SweepWindow& operator=(const SweepWindow&) = delete;

    // The parameters as the form holds them; nothing and *error set when
    // the list does not read.
    std::optional<sweep::Settings> form_settings(QString* error) const;
    // Start as the button does: false, with the reason shown, when refused.
    bool start();
    void stop();

    // Export; false and *error set when the file cannot be written whole
    // (nothing is left half written).
    bool export_csv(const QString& path, QString* error);
    bool export_png(const QString& path, QString* error);
    bool export_svg(const QString& path, QString* error);

    // For tests and the benchmark.
    QCustomPlot* plot() const { return plot_; }
    QTableWidget* table() const { return table_; }
    QLabel* status() const { return status_; }
    QProgressBar* progress() const { return progress_; }
    // Redraws at once (otherwise shortly after each point).
    void redraw_now();

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    void build();
    void on_event(sweep::Sweep::Event e);
    void add_point(const sweep::PointResult& p);
    void redraw();
    void update_progress();
    void update_enabled();
    void load_list();
    void export_to(const QString& kind);

    sweep::Sweep& sweep_;
    int observer_key_ = -1;
    QComboBox* shape_ = nullptr;
    QSpinBox* start_value_ = nullptr;
    QSpinBox* stop_value_ = nullptr;
    QSpinBox* step_ = nullptr;
    QComboBox* direction_ = nullptr;
    QPlainTextEdit* list_ = nullptr;
    QDoubleSpinBox* settle_ = nullptr;
    QSpinBox* readings_ = nullptr;
    QSpinBox* repeats_ = nullptr;
    QCheckBox* endless_ = nullptr;
    QCheckBox* slew_on_ = nullptr;
    QSpinBox* slew_ = nullptr;
    QComboBox* end_ = nullptr;
    QPushButton* start_button_ = nullptr;
    QPushButton* stop_button_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* status_ = nullptr;
    QCustomPlot* plot_ = nullptr;
    QCheckBox* ideal_ = nullptr;
    QCPItemStraightLine* ideal_line_ = nullptr;
    QTableWidget* table_ = nullptr;
    QTimer* redraw_timer_ = nullptr;
    QTimer* progress_timer_ = nullptr;
};

} // namespace korvel::sweepui
