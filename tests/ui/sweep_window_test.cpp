// The sweep window, offscreen: opened by Ctrl+W, --sweep and DISPlay:SWEep,
// driven through the keyboard alone over the simulated board in virtual
// time, drawing and listing what the one engine measured, stopped by its
// Stop or by the remote ABORt, and exporting whole files.
#include "app/options.h"
#include "app/panel_instrument.h"
#include "remote/interpreter.h"
#include "support/virtual_panel.h"
#include "sweepui/sweep_window.h"
#include "window_fixture.h"

#include <qcustomplot.h>

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStyleFactory>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

using korvel::sweepui::SweepWindow;
using korvel::test::WindowPanel;

namespace {

template <class T> T* named(QWidget& w, const char* name)
{
    for (T* c : w.findChildren<T*>())
        if (c->accessibleName() == QLatin1String(name))
            return c;
    return nullptr;
}

// Types a value into a field as a user does: focus, select all, type.
void type_into(QWidget* field, const char* text)
{
    field->setFocus();
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, QString::fromLatin1(text));
    QTest::keyClick(field, Qt::Key_Tab);
}

void press(QWidget* button)
{
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Space);
}

} // namespace

class SweepWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create("Fusion")); }

    void opens_by_ctrl_w_the_option_and_the_remote_command()
    {
        WindowPanel p;
        QVERIFY(p.show_active());
        QVERIFY(p.session.sweep_window_open && !p.session.sweep_window_open());
        QTest::keyClick(&p.window(), Qt::Key_W, Qt::ControlModifier);
        QVERIFY(p.session.sweep_window_open());
        QCOMPARE(p.session.sweep_link().window()->objectName(), QString("sweep_window"));
        korvel::PanelInstrument instrument(p.panel(), "korvel-test");
        instrument.use_sweep(p.session.sweep(), p.session.sweep_window_open, p.session.set_sweep_window_open);
        korvel::remote::Interpreter in(instrument);
        in.run_line("DISP:SWE OFF;SWE?");
        QCOMPARE(QString::fromStdString(in.take_response()), QString("0\n"));
        in.run_line("DISP:SWE ON;SWE?");
        QCOMPARE(QString::fromStdString(in.take_response()), QString("1\n"));
        // Escape closes it; the panel runs on.
        QTest::keyClick(p.session.sweep_link().window(), Qt::Key_Escape);
        QVERIFY(!p.session.sweep_window_open());
        QVERIFY(!p.panel().ended());

        korvel::LinuxSystemCalls sys;
        const korvel::HardwarePaths paths;
        const korvel::app::Program sim{"korvel-sim", false};
        QVERIFY(korvel::app::read_own_options({"korvel-sim", "--sweep"}, sim, sys, paths).sweep);
        QCOMPARE(korvel::app::check_remaining({"korvel-sim", "--sweep"}, sim), std::string());
        const auto both = korvel::app::read_own_options(
            {"korvel-sim", "--no-window", "--listen", "0", "--sweep"}, sim, sys, paths);
        QCOMPARE(both.action, korvel::app::Request::Action::Fail);
    }

    void keys_alone_run_and_stop_a_sweep_that_the_remote_interface_shares()
    {
        korvel::sim::VirtualPanel v;
        v.open();
        v.power_on();
        v.run_ms(300);
        korvel::sweep::Sweep engine(v.panel);
        SweepWindow w(engine);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        type_into(named<QSpinBox>(w, "Start set-point"), "1000");
        type_into(named<QSpinBox>(w, "Stop set-point"), "3000");
        type_into(named<QSpinBox>(w, "Step"), "1000");
        type_into(named<QSpinBox>(w, "Readings per point"), "2");
        press(named<QPushButton>(w, "Start the sweep"));
        QVERIFY(engine.running());
        QVERIFY(!named<QPushButton>(w, "Start the sweep")->isEnabled());
        for (int i = 0; i < 200 && engine.running(); ++i)
            v.run_ms(100);
        w.redraw_now();
        QCOMPARE(engine.end_reason(), std::string("finished"));
        QCOMPARE(w.table()->rowCount(), 3);
        QCOMPARE(w.table()->item(2, 2)->text(), QString("3000"));
        QCOMPARE(w.plot()->graphCount(), 1);
        QCOMPARE(w.plot()->graph(0)->dataCount(), 3);
        QCOMPARE(w.plot()->plottableCount(), 2);  // the trace and its min/max bars
        QCOMPARE(v.panel.setpoint(), 0);
        QVERIFY(w.progress()->format().startsWith("3 of 3 points"));

        // Until stopped: the window's Stop, then the remote ABORt of a
        // sweep the window started.
        press(named<QCheckBox>(w, "Repeat until stopped"));
        korvel::PanelInstrument instrument(v.panel, "korvel-test");
        const std::function<bool()> none;
        const std::function<void(bool)> none_set;
        instrument.use_sweep(engine, none, none_set);
        korvel::remote::Interpreter in(instrument);
        for (const char* how : {"Stop", "ABORt"}) {
            press(named<QPushButton>(w, "Start the sweep"));
            v.run_ms(2000);
            in.run_line("SWE:STAT?");
            QCOMPARE(QString::fromStdString(in.take_response()), QString("1\n"));
            if (QLatin1String(how) == QLatin1String("Stop"))
                press(named<QPushButton>(w, "Stop the sweep"));
            else
                in.run_line("ABOR");
            QVERIFY(!engine.running());
            QCOMPARE(w.status()->text(), QString(QLatin1String(how) == QLatin1String("Stop")
                                                     ? "Ended: stopped" : "Ended: aborted"));
        }

        // Exports: whole files, or none at all.
        QTemporaryDir dir;
        QString error;
        QVERIFY(w.export_csv(dir.filePath("s.csv"), &error));
        QFile csv(dir.filePath("s.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().split('\n');
        QCOMPARE(lines[0], QByteArray("point,repeat,setpoint,mean,min,max,marks,time"));
        QCOMPARE(lines.size() - 2, static_cast<int>(engine.results().size()));
        QVERIFY(w.export_png(dir.filePath("s.png"), &error));
        QVERIFY(w.export_svg(dir.filePath("s.svg"), &error));
        QVERIFY(!w.export_png(dir.filePath("missing/s.png"), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!QFile::exists(dir.filePath("missing/s.png")));
        // The ideal line goes off and on by its box.
        press(named<QCheckBox>(w, "Ideal line"));
        QVERIFY(!named<QCheckBox>(w, "Ideal line")->isChecked());
    }
};

QTEST_MAIN(SweepWindowTest)
#include "sweep_window_test.moc"
