// The reading log: appended, never truncated; one header per file; rows a
// spreadsheet reads.
#include "remote/recorder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace korvel::remote {
namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A scratch folder with one log path in it, removed afterwards.
struct ScratchLog {
    ScratchLog()
    {
        if (!mkdtemp(dir))
            ADD_FAILURE() << "no scratch folder";
        path = std::string(dir) + "/log.csv";
    }
    ~ScratchLog()
    {
        std::remove(path.c_str());
        rmdir(dir);
    }
    void write(const std::string& text) const { std::ofstream(path) << text; }
    char dir[32] = "/tmp/korvel-record-XXXXXX";
    std::string path;
};

const auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123));

TEST(Recorder, AppendsRowsUnderOneHeader)
{
    ScratchLog log;
    const std::string rows[] = {"2023-11-14T22:13:20.123Z,0.250,+12345,,ZEP,12345,\n",
                                "2023-11-14T22:13:20.123Z,1.500,-700,UR,DVM,-700,\n",
                                "2023-11-14T22:13:20.123Z,2.000,+20000,OR,ZEP,30000,\n",
                                "2023-11-14T22:13:20.123Z,3.000,-20,,ZEP,-20,low\n",
                                "2023-11-14T22:13:20.123Z,3.500,+900,,DVM,0,high\n"};
    {
        std::string error;
        auto r = Recorder::open(log.path, &error);
        ASSERT_TRUE(r) << error;
        EXPECT_TRUE(r->limit_column());
        r->record({12345, false, false}, "ZEP", 12345, when, 0.25);
        r->record({-700, false, true}, "DVM", -700, when, 1.5);
        // Flushed per row: on disk before the recorder goes.
        EXPECT_EQ(slurp(log.path), std::string(Recorder::header) + rows[0] + rows[1]);
    }
    {
        auto r = Recorder::open(log.path, nullptr);
        ASSERT_TRUE(r);
        r->record({20000, true, false}, "ZEP", 30000, when, 2);
        r->record({-20, false, false, Limit::low}, "ZEP", -20, when, 3);
        r->record({900, false, false, Limit::high}, "DVM", 0, when, 3.5);
    }
    EXPECT_EQ(slurp(log.path), "time_utc,seconds,reading,mark,mode,setpoint,limit\n" + rows[0] +
                                   rows[1] + rows[2] + rows[3] + rows[4]);
}

TEST(Recorder, ALogWithoutTheLimitColumnKeepsItsColumns)
{
    ScratchLog log;
    const std::string before = "time_utc,seconds,reading,mark,mode,setpoint\n"
                               "2023-11-14T22:13:20.123Z,0.250,+12345,,ZEP,12345\n";
    log.write(before);
    {
        auto r = Recorder::open(log.path, nullptr);
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->limit_column());
        r->record({-20, false, false, Limit::low}, "ZEP", -20, when, 1);
    }
    // Every row with the same six fields, whatever the limits said.
    EXPECT_EQ(slurp(log.path), before + "2023-11-14T22:13:20.123Z,1.000,-20,,ZEP,-20\n");
}

TEST(Recorder, ARowCutShortIsEndedBeforeTheNext)
{
    ScratchLog log;
    // A kill in the middle of a row leaves it without its line end.
    const std::string before = std::string(Recorder::header) +
                               "2023-11-14T22:13:20.123Z,0.250,+12345,,ZEP,12345,\n2023-11-14T22:1";
    log.write(before);
    {
        auto r = Recorder::open(log.path, nullptr);
        ASSERT_TRUE(r);
        r->record({5, false, false}, "DVM", 0, when, 1);
    }
    EXPECT_EQ(slurp(log.path), before + "\n2023-11-14T22:13:20.123Z,1.000,+5,,DVM,0,\n");

    // Some other file that happens to be named: appended to as it is, in
    // today's columns, without a header in its middle.
    log.write("notes\n");
    {
        auto r = Recorder::open(log.path, nullptr);
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->limit_column());
        r->record({5, false, false}, "DVM", 0, when, 1);
    }
    EXPECT_EQ(slurp(log.path), "notes\n2023-11-14T22:13:20.123Z,1.000,+5,,DVM,0,\n");
}

TEST(Recorder, UtcTimes)
{
    using std::chrono::milliseconds;
    using tp = std::chrono::system_clock::time_point;
    EXPECT_EQ(Recorder::utc_time(tp(milliseconds(0))), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(Recorder::utc_time(tp(milliseconds(951782400999))), "2000-02-29T00:00:00.999Z");
    EXPECT_EQ(Recorder::utc_time(tp(milliseconds(-1))), "1969-12-31T23:59:59.999Z");
}

TEST(Recorder, AFileThatCannotBeOpenedSaysWhy)
{
    std::string error;
    EXPECT_FALSE(Recorder::open("/nonexistent-folder/log.csv", &error));
    EXPECT_NE(error.find("cannot open /nonexistent-folder/log.csv"), std::string::npos) << error;
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

} // namespace
} // namespace korvel::remote
