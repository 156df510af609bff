// The trend window, offscreen: how it opens and closes beside the panel,
// what it draws of a run on the simulated board in virtual time, its
// statistics, limits and alarm against the history, and its exports.
#include "app/options.h"
#include "panel/marked_readings.h"
#include "store/reading_store.h"
#include "support/temp_tree.h"
#include "support/virtual_panel.h"
#include "history/reading_csv.h"
#include "trend/trend_window.h"
#include "ui/run_panel.h"
#include "window_fixture.h"

#include <qcustomplot.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QSpinBox>
#include <QStyleFactory>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <sstream>

using korvel::ControlId;
using korvel::history::Limit;
using korvel::history::Mark;
using korvel::history::ReadingHistory;
using korvel::history::Sample;
using korvel::trend::TrendWindow;
using korvel::test::WindowPanel;

namespace {

// A run of korvel-sim's board in virtual time, its readings in a history.
struct SimRun {
    ReadingHistory history;
    korvel::sim::VirtualPanel v;
    std::int64_t start_ms = 1'796'000'000'000;  // 2026-11-30
    // Each reading with the range marks shown during its conversion, as
    // the panel's session feeds its history.
    korvel::MarkedReadings feed{v.panel, [this](const korvel::dvm::Reading& r) {
        history.add(korvel::history_sample(v.panel, r, now_ms()));
    }};

    SimRun()
    {
        v.open();
        v.power_on();
    }
    std::int64_t now_ms() const { return start_ms + v.clock.now_ns() / 1'000'000; }
};

// The values of a graph, gaps left out.
std::vector<double> values_of(const QCPGraph* g)
{
    std::vector<double> out;
    for (auto it = g->data()->constBegin(); it != g->data()->constEnd(); ++it)
        if (!std::isnan(it->value))
            out.push_back(it->value);
    return out;
}

QCPGraph* graph_named(QCustomPlot* plot, const QString& name)
{
    for (int i = 0; i < plot->graphCount(); ++i)
        if (plot->graph(i)->name() == name)
            return plot->graph(i);
    return nullptr;
}

Sample sample(std::int64_t t, int value, Mark mark = Mark::none,
              korvel::history::Mode mode = korvel::history::Mode::zep, int setpoint = 0)
{
    Sample s;
    s.time_ms = t;
    s.value = static_cast<std::int16_t>(value);
    s.mark = mark;
    s.mode = mode;
    s.setpoint = static_cast<std::int16_t>(setpoint);
    return s;
}

QString text_of(const TrendWindow& w, const char* figure) { return w.readout(figure)->text(); }

} // namespace

class TrendTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create("Fusion")); }

    void opens_by_double_click_shortcut_and_hooks_without_touching_the_board()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        const std::size_t from = p.port.log.size();
        QVERIFY(p.session.trend_open && p.session.set_trend_open);
        QVERIFY(!p.session.trend_open());

        // A single click does nothing; a double-click on the reading opens it.
        QTest::mouseClick(p.w(ControlId::reading_box), Qt::LeftButton);
        QVERIFY(!p.session.trend_open());
        QTest::mouseDClick(p.w(ControlId::reading_box), Qt::LeftButton);
        QVERIFY(p.session.trend_open());
        QVERIFY(p.session.trend().window()->isWindow());
        QCOMPARE(p.session.trend().window()->objectName(), QString("trend_window"));

        // The hook closes it; Ctrl+T in the panel opens it again, the same window.
        auto* made = p.session.trend().window();
        p.session.set_trend_open(false);
        QVERIFY(!p.session.trend_open());
        p.window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&p.window()));
        QTest::keyClick(&p.window(), Qt::Key_T, Qt::ControlModifier);
        QVERIFY(p.session.trend_open());
        QCOMPARE(p.session.trend().window(), made);
        p.session.set_trend_open(true);  // open twice: still one, still open
        QVERIFY(p.session.trend_open());

        // The reading says how to open it; no gesture wrote to the board.
        QVERIFY(p.w(ControlId::reading_box)->accessibleDescription().contains("Ctrl+T"));
        QVERIFY(p.since(from).empty());
        QVERIFY(!p.panel().ended());
    }

    void closing_the_trend_leaves_the_panel_running_and_the_end_closes_it()
    {
        // As in the programs: the last window closed may end the loop.
        QApplication::setQuitOnLastWindowClosed(true);
        WindowPanel p;
        QVERIFY(p.show_active());
        p.session.set_trend_open(true);
        const std::size_t from = p.port.log.size();
        bool running_after_close = false;
        const int status = p.run([&] {
            p.session.trend().window()->close();  // Escape or the title bar
            QTimer::singleShot(300, [&] {
                running_after_close = !p.panel().ended() && p.window().isVisible();
                p.session.set_trend_open(true);
                p.window().close();  // the panel's own end
            });
        });
        QCOMPARE(status, 0);
        QVERIFY(running_after_close);
        QVERIFY(!p.session.trend_open());
        QCOMPARE(p.exit_traffic(from), korvel::test::safe_state_378);
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void trend_option_is_read()
    {
        korvel::LinuxSystemCalls sys;
        const korvel::HardwarePaths paths;
        const korvel::app::Program sim{"korvel-sim", false};
        QVERIFY(korvel::app::read_own_options({"korvel-sim", "--trend"}, sim, sys, paths).trend);
        QVERIFY(!korvel::app::read_own_options({"korvel-sim"}, sim, sys, paths).trend);
        QCOMPARE(korvel::app::check_remaining({"korvel-sim", "--trend"}, sim), std::string());
        QVERIFY(!korvel::app::check_remaining({"korvel-sim", "--trend=yes"}, sim).empty());
        // A window asked for and left out in one breath is refused, not half done.
        const auto both = korvel::app::read_own_options(
            {"korvel-sim", "--no-window", "--listen", "0", "--trend"}, sim, sys, paths);
        QCOMPARE(both.action, korvel::app::Request::Action::Fail);
        QVERIFY(QString::fromStdString(both.error).contains("--trend"));
    }

    void draws_a_virtual_time_run_with_every_extreme_and_the_setpoint_in_zep()
    {
        SimRun run;
        run.v.board.use_setpoint_input(6.0, 3);  // noise: extremes to keep
        run.v.set_point(12345);
        run.v.run_ms(200'000);
        run.v.set_point(5000);
        run.v.run_ms(100'000);
        run.v.panel.choose_mode(korvel::Mode::dvm);
        run.v.run_ms(20'000);
        run.v.panel.choose_mode(korvel::Mode::zep);
        QCOMPARE(run.v.panel.set_setpoint(25000), korvel::Outcome::done);  // over range
        run.v.run_ms(20'000);
        QVERIFY(run.history.size() > 900);

        TrendWindow w(run.history);
        const std::int64_t end = run.now_ms();
        w.set_clock([end] { return end; });
        w.set_span(TrendWindow::Span::all);
        w.resize(900, 500);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.redraw_now();

        // Fewer columns than readings, and still the span's exact extremes.
        const auto drawn = values_of(w.reading_graph());
        QVERIFY(!drawn.empty());
        QVERIFY(static_cast<int>(drawn.size()) <= 4 * w.plot()->axisRect()->width());
        const auto all = run.history.statistics(run.history.at(0).time_ms, end + 1);
        QCOMPARE(*std::min_element(drawn.begin(), drawn.end()), double(all.min));
        QCOMPARE(*std::max_element(drawn.begin(), drawn.end()), double(all.max));
        QVERIFY(all.max > 12345 && all.max < 12400);
        QVERIFY(all.min > 4900);  // the over-range zeros are marked, not counted
        const QCPRange x = w.plot()->xAxis->range();
        QVERIFY(x.lower <= run.history.at(0).time_ms / 1000.0 && x.upper >= end / 1000.0);

        // The set-point line: both set-points, broken while in DVM.
        const auto setpoints = values_of(w.setpoint_graph());
        QVERIFY(std::count(setpoints.begin(), setpoints.end(), 12345.0) > 0);
        QVERIFY(std::count(setpoints.begin(), setpoints.end(), 5000.0) > 0);
        bool gap = false;
        for (auto it = w.setpoint_graph()->data()->constBegin(); it != w.setpoint_graph()->data()->constEnd(); ++it)
            gap = gap || std::isnan(it->value);
        QVERIFY(gap);

        // Over-range readings are marked, and kept out of the line.
        QVERIFY(run.history.statistics().over > 0);
        QVERIFY(!graph_named(w.plot(), "over range")->data()->isEmpty());
        QVERIFY(graph_named(w.plot(), "under range")->data()->isEmpty());

        // A span of one minute shows its last minute only.
        w.set_span(TrendWindow::Span::minute);
        w.redraw_now();
        QCOMPARE(w.plot()->xAxis->range().size(), 60.0);
        for (auto it = w.reading_graph()->data()->constBegin(); it != w.reading_graph()->data()->constEnd(); ++it)
            QVERIFY(it->key >= end / 1000.0 - 60.0);

        // Keys pan and pause; Home follows again.
        w.plot()->setFocus();
        const double before = w.plot()->xAxis->range().lower;
        QTest::keyClick(w.plot(), Qt::Key_Left);
        QVERIFY(!w.following());
        QVERIFY(w.plot()->xAxis->range().lower < before);
        QTest::keyClick(w.plot(), Qt::Key_Home);
        QVERIFY(w.following());

        // Zoomed out or in beyond reason, it still draws what there is.
        for (const Qt::Key key : {Qt::Key_Down, Qt::Key_Up}) {
            for (int i = 0; i < 400; ++i)
                QTest::keyClick(w.plot(), key);
            w.redraw_now();
        }
        QVERIFY(!w.following());

        // A fixed range, given either way round, is the range shown.
        w.set_fixed_range(14000, 1000);
        w.redraw_now();
        QCOMPARE(w.plot()->yAxis->range().lower, 1000.0);
        QCOMPARE(w.plot()->yAxis->range().upper, 14000.0);
        QVERIFY(!w.findChild<QCheckBox*>("trend_auto_range")->isChecked());
        run.v.panel.close();
    }

    void statistics_limits_and_alarm_follow_the_history()
    {
        ReadingHistory h;
        TrendWindow w(h);
        int beeps = 0;
        w.beep = [&] { ++beeps; };
        w.findChild<QCheckBox*>("trend_beep")->setChecked(true);
        QCOMPARE(text_of(w, "count"), QString("0"));
        QCOMPARE(text_of(w, "mean"), QString("none"));

        // Limits set in the window reach the history; a lower limit moved
        // above the upper takes it along.
        w.findChild<QSpinBox*>("trend_lower_limit")->setValue(-50);
        w.findChild<QSpinBox*>("trend_upper_limit")->setValue(100);
        w.findChild<QCheckBox*>("trend_limits_on")->setChecked(true);
        QCOMPARE(h.limits().enabled, true);
        QCOMPARE(h.limits().lower, -50);
        QCOMPARE(h.limits().upper, 100);

        const std::int64_t t = 1'796'000'000'000;
        for (int v : {10, 20, 30})
            h.add(sample(t + v, v));
        QVERIFY(!w.alarm());
        h.add(sample(t + 100, 150));  // high: the alarm and one beep
        QVERIFY(w.alarm());
        h.add(sample(t + 110, -70));  // low: still on, no second beep
        h.add(sample(t + 120, 0, Mark::over));  // a marked reading changes nothing
        QVERIFY(w.alarm());
        QCOMPARE(beeps, 1);
        h.add(sample(t + 130, 5, Mark::under));
        h.add(sample(t + 140, 40));  // inside again
        QVERIFY(!w.alarm());
        w.refresh();

        const auto& s = h.statistics();
        QCOMPARE(s.count, std::size_t(6));
        QCOMPARE(text_of(w, "count"), QString("6"));
        QCOMPARE(text_of(w, "min"), QString("-70"));
        QCOMPARE(text_of(w, "max"), QString("+150"));
        QCOMPARE(text_of(w, "mean"), QString("+%1").arg(s.mean, 0, 'f', 1));
        QCOMPARE(text_of(w, "sdev"), QString::number(s.sdev, 'f', 2));
        QCOMPARE(text_of(w, "last"), QString("+40"));
        QCOMPARE(text_of(w, "over"), QString("1"));
        QCOMPARE(text_of(w, "under"), QString("1"));
        QCOMPARE(text_of(w, "failures"), QString("2"));
        // A screen reader gets each figure by its plain name, as its value.
        QAccessibleInterface* failures = QAccessible::queryAccessibleInterface(w.readout("failures"));
        QVERIFY(failures);
        QCOMPARE(failures->text(QAccessible::Name), QString("Readings outside the limits"));
        QCOMPARE(failures->text(QAccessible::Value), QString("2"));

        // Limits set elsewhere (the remote interface) show in the window.
        h.set_limits({true, -10, 60});
        w.refresh();
        QCOMPARE(w.findChild<QSpinBox*>("trend_lower_limit")->value(), -10);
        QCOMPARE(w.findChild<QSpinBox*>("trend_upper_limit")->value(), 60);
        w.findChild<QSpinBox*>("trend_lower_limit")->setValue(80);
        QCOMPARE(h.limits().lower, 80);
        QCOMPARE(h.limits().upper, 80);

        // Reset: the figures start again, the readings stay.
        QTest::mouseClick(w.findChild<QPushButton*>("trend_reset"), Qt::LeftButton);
        QCOMPARE(text_of(w, "count"), QString("0"));
        QCOMPARE(text_of(w, "failures"), QString("0"));
        QCOMPARE(text_of(w, "last"), QString("none"));
        QCOMPARE(h.size(), std::size_t(8));

        // Limits off: no alarm, whatever comes.
        w.findChild<QCheckBox*>("trend_limits_on")->setChecked(false);
        h.add(sample(t + 200, 19999));
        QVERIFY(!w.alarm());
    }

    void exports_are_files_that_read_back()
    {
        ReadingHistory h;
        h.set_limits({true, -1000, 1000});
        const std::int64_t t = 1'796'000'000'000;
        const Sample rows[] = {
            sample(t, 12345, Mark::none, korvel::history::Mode::zep, 12345),
            sample(t + 333, -700, Mark::none, korvel::history::Mode::dvm, 12345),
            sample(t + 1666, 0, Mark::over, korvel::history::Mode::zep, 25000),
            sample(t + 2000, 1500, Mark::under, korvel::history::Mode::dpc, -3),
            sample(t + 2333, 500),
        };
        for (const Sample& s : rows)
            h.add(s);
        TrendWindow w(h);
        w.set_clock([t] { return t + 3000; });
        w.resize(800, 500);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));

        QTemporaryDir dir;
        QString error;
        QVERIFY(w.export_png(dir.filePath("t.png"), &error));
        const QImage png(dir.filePath("t.png"));
        QVERIFY(!png.isNull());
        QCOMPARE(png.size(), w.plot()->size());

        QVERIFY(w.export_svg(dir.filePath("t.svg"), &error));
        QSvgRenderer svg(dir.filePath("t.svg"));
        QVERIFY(svg.isValid());
        QCOMPARE(svg.viewBox().size(), w.plot()->size());

        QVERIFY(w.export_csv(dir.filePath("t.csv"), &error));
        QFile csv(dir.filePath("t.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(csv.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines[0], QString("time_utc,seconds,reading,mark,mode,setpoint,limit"));
        const char* mode_names[] = {"ZEP", "DVM", "DPC"};
        for (std::size_t i = 0; i < h.size(); ++i) {
            const QStringList f = lines[qsizetype(i) + 1].split(',');
            QCOMPARE(f.size(), 7);
            const Sample& s = h.at(i);
            QCOMPARE(QDateTime::fromString(f[0], Qt::ISODateWithMs).toMSecsSinceEpoch(), s.time_ms);
            QCOMPARE(qRound64(f[1].toDouble() * 1000), s.time_ms - t);
            QCOMPARE(f[2].toInt(), int(s.value));
            QCOMPARE(f[2].startsWith('+') || f[2].startsWith('-'), true);
            QCOMPARE(f[3], QString(s.mark == Mark::over ? "OR" : s.mark == Mark::under ? "UR" : ""));
            QCOMPARE(f[4], QString(mode_names[int(s.mode)]));
            QCOMPARE(f[5].toInt(), int(s.setpoint));
            QCOMPARE(f[6], QString(s.limit == Limit::low ? "low" : s.limit == Limit::high ? "high" : ""));
        }
        QCOMPARE(lines[1], QString("2026-11-30T00:53:20.000Z,0.000,+12345,,ZEP,12345,high"));
        QCOMPARE(lines[2].section(',', 2), QString("-700,,DVM,12345,"));

        // A file that cannot be written: refused with its cause, nothing made.
        for (auto exporter : {&TrendWindow::export_png, &TrendWindow::export_svg, &TrendWindow::export_csv}) {
            error.clear();
            QVERIFY(!(w.*exporter)(dir.filePath("missing/t.out"), &error));
            QVERIFY(!error.isEmpty());
        }
        QVERIFY(!QFile::exists(dir.filePath("missing")));
    }

    void long_spans_draw_from_the_source_with_its_statistics()
    {
        // 40 days in a reading store, a reading every 10 minutes; one a day
        // outside the limits when taken.
        korvel::TempTree dir("korvel-trend");
        korvel::store::StoreOptions o;
        o.path = (dir.root / "readings.db").string();
        o.keep_days = 0;
        std::string error;
        const auto store = korvel::store::ReadingStore::open(o, &error);
        QVERIFY2(store, error.c_str());
        auto& source = *store;
        const std::int64_t t = 1'796'000'000'000, step = 600'000;
        std::vector<Sample> readings;
        for (int i = 0; i < 40 * 144; ++i) {
            Sample s = sample(t + i * step, i % 1000, i % 500 == 0 ? Mark::over : Mark::none);
            s.limit = i % 144 == 0 && s.mark == Mark::none ? Limit::high : Limit::none;
            readings.push_back(s);
        }
        QVERIFY2(store->write_batch(readings, &error), error.c_str());
        const std::int64_t end = t + 40 * 144 * step;  // the store's whole minutes end here
        ReadingHistory live;
        TrendWindow w(live, source);
        w.set_clock([end] { return end; });
        w.resize(900, 500);
        auto* spans = w.findChild<QComboBox*>("trend_span");
        QCOMPARE(spans->count(), 7);
        QCOMPARE(spans->itemText(5), QString("30 days"));
        auto* figures = w.findChild<QComboBox*>("trend_figures");
        QCOMPARE(figures->accessibleName(), QString("Statistics over"));
        QVERIFY(figures->focusPolicy() & Qt::TabFocus);

        const struct {
            TrendWindow::Span span;
            std::int64_t length;
        } views[] = {{TrendWindow::Span::day, 86'400'000},
                     {TrendWindow::Span::week, 7 * 86'400'000LL},
                     {TrendWindow::Span::thirty_days, 30 * 86'400'000LL},
                     {TrendWindow::Span::all, end - t}};
        for (const auto& v : views) {
            w.set_span(v.span);
            w.set_figures(TrendWindow::Figures::span_shown);
            QCOMPARE(w.plot()->xAxis->range().size(), double(v.length) / 1000);
            const auto expected = source.statistics(end - v.length, end);
            QCOMPARE(text_of(w, "count"), QString::number(expected.count));
            QCOMPARE(text_of(w, "max"), QString("+%1").arg(expected.max));
            QCOMPARE(text_of(w, "over"), QString::number(expected.over));
            QCOMPARE(text_of(w, "failures"), QString::number(v.length / step / 144 - (v.span == TrendWindow::Span::all ? 1 : 0)));  // the first is marked
            QVERIFY(!values_of(w.reading_graph()).empty());
            QVERIFY(!values_of(graph_named(w.plot(), "outside limits")).empty());
        }
        // Since the reset: the history's running figures, not the source's.
        w.set_figures(TrendWindow::Figures::since_reset);
        QCOMPARE(text_of(w, "count"), QString("0"));
        QVERIFY(w.findChild<QPushButton*>("trend_reset")->isEnabled());
    }

    void review_shows_a_log_read_only_and_exports_it_as_read()
    {
        const std::string log = "time_utc,seconds,reading,mark,mode,setpoint,limit\n"
                                "2026-12-07T14:00:40.120Z,0.000,+8003,,ZEP,8000,\n"
                                "2026-12-07T14:00:40.453Z,0.333,+14612,,ZEP,15000,high\n"
                                "2026-12-07T14:00:41.000Z,0.880,+0,OR,DVM,15000,\n"
                                "2026-12-07T14:01:00.000Z,19.880,-3,,DPC,0,low\n";
        std::istringstream in(log);
        const auto read = korvel::history::read_reading_log(in);
        QCOMPARE(read.samples.size(), std::size_t(4));
        ReadingHistory kept(read.samples.size());
        for (const Sample& s : read.samples)
            kept.add_recorded(s);

        const auto w = TrendWindow::review(kept, "log.csv");
        QVERIFY(w->reviewing());
        QVERIFY(w->windowTitle().contains("log.csv"));
        w->resize(800, 500);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->redraw_now();
        // "Now" is the log's end: its last minute is in view, with the
        // figures of what is shown and the verdicts as recorded.
        QCOMPARE(w->figures(), TrendWindow::Figures::span_shown);
        QVERIFY(!w->findChild<QComboBox*>("trend_figures")->isEnabled());
        QVERIFY(!w->findChild<QPushButton*>("trend_reset")->isVisible());
        QCOMPARE(text_of(*w, "count"), QString("3"));
        QCOMPARE(text_of(*w, "over"), QString("1"));
        QCOMPARE(text_of(*w, "failures"), QString("2"));
        QCOMPARE(text_of(*w, "last"), QString("-3"));
        QCOMPARE(values_of(w->reading_graph()).empty(), false);
        // Limits set in a review draw their lines; they judge nothing anew.
        w->findChild<QCheckBox*>("trend_limits_on")->setChecked(true);
        QCOMPARE(text_of(*w, "failures"), QString("2"));

        QTemporaryDir dir;
        QString error;
        QVERIFY(w->export_csv(dir.filePath("again.csv"), &error));
        QFile again(dir.filePath("again.csv"));
        QVERIFY(again.open(QIODevice::ReadOnly));
        QCOMPARE(again.readAll().toStdString(), log);
    }
};

QTEST_MAIN(TrendTest)
#include "trend_test.moc"
