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

TEST(Recorder, AppendsRowsUnderOneHeader)
{
    char dir[] = "/tmp/korvel-record-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/log.csv";
    const auto t = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123));
    const std::string rows[] = {"2023-11-14T22:13:20.123Z,0.250,+12345,,ZEP,12345\n",
                                "2023-11-14T22:13:20.123Z,1.500,-700,UR,DVM,-700\n",
                                "2023-11-14T22:13:20.123Z,2.000,+20000,OR,ZEP,30000\n"};
    {
        std::string error;
        auto r = Recorder::open(path, &error);
        ASSERT_TRUE(r) << error;
        r->record({12345, false, false}, "ZEP", 12345, t, 0.25);
        r->record({-700, false, true}, "DVM", -700, t, 1.5);
        // Flushed per row: on disk before the recorder goes.
        EXPECT_EQ(slurp(path), std::string(Recorder::header) + rows[0] + rows[1]);
    }
    {
        auto r = Recorder::open(path, nullptr);
        ASSERT_TRUE(r);
        r->record({20000, true, false}, "ZEP", 30000, t, 2);
    }
    EXPECT_EQ(slurp(path), "time_utc,seconds,reading,mark,mode,setpoint\n" + rows[0] + rows[1] + rows[2]);
    std::remove(path.c_str());
    rmdir(dir);
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
