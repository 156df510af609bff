// Limits and statistics through the panel on the simulated board, in
// virtual time: the history judges each reading, and the remote interface
// and the reading log report what it judged.
#include "app/panel_instrument.h"
#include "panel/marked_readings.h"
#include "remote/interpreter.h"
#include "remote/recorder.h"
#include "support/virtual_panel.h"
#include "session/panel_session.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace korvel {
namespace {

// The panel with its history fed as the panel session feeds it, its remote
// view over that history, and a reading log.
struct LimitedPanel : ::testing::Test {
    LimitedPanel()
    {
        if (!mkdtemp(dir))
            ADD_FAILURE() << "no scratch folder";
        log_path = std::string(dir) + "/log.csv";
        recorder = remote::Recorder::open(log_path, nullptr);
        recording = std::make_unique<remote::RecordingSubscription>(instrument, *recorder);
        p.open();
        p.power_on();
    }
    ~LimitedPanel() override
    {
        recording.reset();
        recorder.reset();
        std::remove(log_path.c_str());
        rmdir(dir);
    }
    std::string ask(const std::string& line)
    {
        in.run_line(line);
        return in.take_response();
    }
    // The log's rows as fields, header first.
    std::vector<std::vector<std::string>> rows() const
    {
        std::ifstream f(log_path);
        std::vector<std::vector<std::string>> out;
        for (std::string line; std::getline(f, line);) {
            std::vector<std::string> fields;
            std::stringstream s(line);
            for (std::string field; std::getline(s, field, ',');)
                fields.push_back(field);
            if (!line.empty() && line.back() == ',')
                fields.emplace_back();
            out.push_back(fields);
        }
        return out;
    }

    sim::VirtualPanel p;
    history::ReadingHistory history;
    MarkedReadings feed{p.panel, [this](const dvm::Reading& r) {
                            history.add(history_sample(p.panel, r, p.clock.now_ns() / 1000000));
                        }};
    PanelInstrument instrument{p.panel, "korvel-test", &history};
    remote::Interpreter in{instrument};
    char dir[32] = "/tmp/korvel-limits-XXXXXX";
    std::string log_path;
    std::unique_ptr<remote::Recorder> recorder;
    std::unique_ptr<remote::RecordingSubscription> recording;
};

TEST_F(LimitedPanel, ReadingsOutsideTheLimitsAreFlaggedCountedAndLogged)
{
    ASSERT_EQ(ask("CALC:LIM:LOW 4000;UPP 6000;STAT ON;:MODE ZEP;SETP 5000"), "");
    p.run_ms(3000);
    ASSERT_EQ(ask("SETP 7000"), "");
    p.run_ms(3000);
    EXPECT_EQ(ask("FETC?;:CALC:LIM:FAIL?").substr(0, 8), "+7000;1,");
    ASSERT_EQ(ask("SETP 3000"), "");
    p.run_ms(3000);
    // Over range: the readings carry their mark and are never judged.
    ASSERT_EQ(ask("SETP 25000"), "");
    p.run_ms(3000);
    EXPECT_EQ(ask("FETC?;:CALC:LIM:FAIL?").substr(0, 8), "+0,OR;0,");

    const auto log = rows();
    ASSERT_EQ(log.size(), history.size() + 1);
    EXPECT_EQ(log[0], (std::vector<std::string>{"time_utc", "seconds", "reading", "mark", "mode",
                                                "setpoint", "limit"}));
    std::size_t low = 0, high = 0, over = 0, plain = 0;
    for (std::size_t i = 1; i < log.size(); ++i) {
        const auto& row = log[i];
        SCOPED_TRACE(::testing::PrintToString(row));
        ASSERT_EQ(row.size(), 7u);
        const history::Sample& s = history.at(i - 1);
        // The log and the history agree on every reading.
        EXPECT_EQ(std::stoi(row[2]), s.value);
        EXPECT_EQ(row[3], s.mark == history::Mark::over    ? "OR"
                          : s.mark == history::Mark::under ? "UR"
                                                           : "");
        const int v = s.value;
        const char* verdict = s.mark != history::Mark::none ? ""
                              : v < 4000                    ? "low"
                              : v > 6000                    ? "high"
                                                            : "";
        EXPECT_EQ(row[6], verdict);
        low += row[6] == "low";
        high += row[6] == "high";
        over += row[3] == "OR";
        plain += row[3].empty();
    }
    EXPECT_GE(high, 5u);
    EXPECT_GE(low, 5u);
    EXPECT_GE(over, 5u);
    EXPECT_EQ(history.limit_failures(), low + high);
    EXPECT_EQ(ask("CALC:LIM:FAIL?"), "0," + std::to_string(low + high) + "\n");
    // The figures leave the over-range readings out.
    EXPECT_EQ(ask("CALC:AVER:COUN?;MAX?"), std::to_string(plain) + ";+7000\n");

    // Clearing the count leaves the figures; clearing the figures both.
    ask("CALC:LIM:CLE");
    EXPECT_EQ(ask("CALC:LIM:FAIL?;:CALC:AVER:COUN?"), "0,0;" + std::to_string(plain) + "\n");
    ask("CALC:AVER:CLE");
    EXPECT_EQ(ask("CALC:AVER:COUN?;MIN?"), "0;9.91E+37\n");
    EXPECT_EQ(in.errors().size(), 0u);
}

TEST_F(LimitedPanel, LimitsRefusedOrOffChangeNoVerdict)
{
    ask("CALC:LIM:LOW 4000;UPP 6000;:SETP 5000");
    // Off: nothing is judged, however far the readings go.
    ask("SETP 9000");
    p.run_ms(3000);
    EXPECT_EQ(ask("CALC:LIM:FAIL?"), "0,0\n");
    // A refused limit leaves the ones in force.
    ask("CALC:LIM:STAT ON;UPP 3000");
    EXPECT_EQ(ask("SYST:ERR?").substr(0, 5), "-222,");
    EXPECT_EQ(history.limits().upper, 6000);
    EXPECT_TRUE(history.limits().enabled);
    p.run_ms(2000);
    EXPECT_EQ(ask("CALC:LIM:FAIL?").substr(0, 2), "1,");
    EXPECT_EQ(history.newest().limit, history::Limit::high);
    // Turned off again, the latest reading no longer fails.
    ask("CALC:LIM:STAT OFF");
    EXPECT_EQ(ask("CALC:LIM:FAIL?").substr(0, 2), "0,");
    // No trend window here.
    ask("DISP:TREN ON");
    EXPECT_EQ(ask("SYST:ERR?;:DISP:TREN?").substr(0, 5), "-221,");
}

} // namespace
} // namespace korvel
