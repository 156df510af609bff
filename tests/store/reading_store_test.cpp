// The reading store against the history in memory as the reference: the
// same readings read back the same through history::ReadingSource, whether
// committed or still on their way, over short spans (rows) and long ones
// (minutes). Then reopening, retention, and every file it must refuse.
#include "history/reading_history.h"
#include "store/reading_store.h"
#include "support/temp_tree.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <unistd.h>
#include <fstream>
#include <random>
#include <tuple>

namespace korvel::store {
namespace {

using history::Sample;

constexpr std::int64_t t_start = 1'700'000'040'000;  // on a whole minute

// Readings about 1/3 s apart with marks, modes and set-points, judged by a
// history with limits on.
std::vector<Sample> make_readings(history::ReadingHistory& reference, std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    reference.set_limits({true, -5000, 5000});
    std::vector<Sample> out;
    std::int64_t t = t_start;
    for (std::size_t i = 0; i < n; ++i) {
        t += 1 + std::int64_t(rng() % 666);
        Sample s;
        s.time_ms = t;
        s.value = std::int16_t(int(rng() % 39999) - 19999);
        const unsigned k = rng() % 20;
        s.mark = k == 0 ? history::Mark::over : k == 1 ? history::Mark::under : history::Mark::none;
        s.mode = history::Mode(rng() % 3);
        s.setpoint = std::int16_t(int(rng() % 60001) - 30000);
        out.push_back(reference.add(s));
    }
    return out;
}

std::unique_ptr<ReadingStore> open_store(const std::string& path, std::string* error = nullptr,
                                         int keep_days = 0)
{
    StoreOptions o;
    o.path = path;
    o.keep_days = keep_days;
    o.program = "korvel-test";
    std::string ignored;
    return ReadingStore::open(o, error ? error : &ignored);
}

// A column as the drawing uses it: figures that mean nothing without
// readings behind them left out.
auto drawn(const history::Column& c)
{
    const bool values = c.count > 0, any = c.count + c.over + c.under > 0;
    return std::make_tuple(c.t0, c.t1, c.count, c.over, c.under, c.low, c.high, c.zep, values ? c.min : 0,
                           values ? c.max : 0, values ? c.first : 0, values ? c.last : 0,
                           any ? c.setpoint_min : 0, any ? c.setpoint_max : 0);
}

void expect_same_columns(const std::vector<history::Column>& a, const std::vector<history::Column>& b)
{
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        EXPECT_TRUE(drawn(a[i]) == drawn(b[i])) << "column " << i;
}

void expect_same_source(const history::ReadingSource& store, const history::ReadingSource& ref)
{
    ASSERT_EQ(store.count(), ref.count());
    ASSERT_EQ(store.time_range(), ref.time_range());
    const auto [first, last] = *ref.time_range();
    const std::int64_t end = last + 1;
    // Spans: inside one minute, a few minutes (rows), the whole (minutes,
    // columns of whole minutes so that both reductions must agree), and odd
    // edges (part minutes at both ends).
    struct Span {
        std::int64_t t0, t1;
        int columns;
    };
    const std::int64_t whole = (end - t_start + 59999) / 60000 * 60000;
    for (const Span& s : {Span{first + 1000, first + 20000, 7}, Span{first, first + 300000, 100},
                          Span{t_start, t_start + whole, int(whole / 120000)},
                          Span{first + 12345, end - 54321, 3}, Span{t_start - 600000, t_start, 4},
                          Span{INT64_MIN, INT64_MAX, 5}}) {
        SCOPED_TRACE(std::to_string(s.t0) + ".." + std::to_string(s.t1));
        if (s.columns == 3) {
            // Part minutes at the ends: the statistics agree exactly all the
            // same; the columns may draw a whole minute one column off.
        } else {
            expect_same_columns(store.reduce(s.t0, s.t1, s.columns), ref.reduce(s.t0, s.t1, s.columns));
        }
        const history::Statistics a = store.statistics(s.t0, s.t1), b = ref.statistics(s.t0, s.t1);
        EXPECT_EQ(a.count, b.count);
        EXPECT_EQ(a.over, b.over);
        EXPECT_EQ(a.under, b.under);
        if (b.count > 0) {
            EXPECT_EQ(a.min, b.min);
            EXPECT_EQ(a.max, b.max);
            EXPECT_NEAR(a.mean, b.mean, 1e-6);
            EXPECT_NEAR(a.sdev, b.sdev, 1e-6 * std::max(1.0, b.sdev));
        }
        ASSERT_EQ(a.last.has_value(), b.last.has_value());
        if (b.last) {
            EXPECT_EQ(a.last->time_ms, b.last->time_ms);
        }
    }
    for (std::size_t n : {std::size_t(0), std::size_t(1), std::size_t(17), ref.count() + 5}) {
        const auto a = store.latest(n), b = ref.latest(n);
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t i = 0; i < a.size(); ++i)
            EXPECT_EQ(std::memcmp(&a[i], &b[i], sizeof(Sample)), 0) << i;
    }
    std::vector<Sample> va, vb;
    store.visit(first + 5000, end - 5000, [&](const Sample& s) { va.push_back(s); return va.size() < 900; });
    ref.visit(first + 5000, end - 5000, [&](const Sample& s) { vb.push_back(s); return vb.size() < 900; });
    ASSERT_EQ(va.size(), vb.size());
    for (std::size_t i = 0; i < va.size(); ++i)
        EXPECT_EQ(std::memcmp(&va[i], &vb[i], sizeof(Sample)), 0) << i;
}

TEST(ReadingStore, ReadsBackAsTheHistoryDoesCommittedPendingAndReopened)
{
    TempTree tmp;
    const std::string path = tmp.path("readings.db");
    history::ReadingHistory ref(1 << 16);
    const std::vector<Sample> readings = make_readings(ref, 6000, 7);
    {
        std::string error;
        auto store = open_store(path, &error);
        ASSERT_TRUE(store) << error;
        EXPECT_EQ(store->count(), 0u);
        EXPECT_FALSE(store->time_range());
        // The first part in bulk, the rest through the writer; read while
        // some may still be on their way, and once all are committed.
        ASSERT_TRUE(store->write_batch({readings.begin(), readings.begin() + 2000}, &error)) << error;
        for (std::size_t i = 2000; i < readings.size(); ++i)
            ASSERT_TRUE(store->add(readings[i]));
        expect_same_source(*store, ref);
        store->flush();
        expect_same_source(*store, ref);
        EXPECT_EQ(store->state(), StoreState::writing);
    }
    auto again = open_store(path);
    ASSERT_TRUE(again);
    expect_same_source(*again, ref);

    // A reading no later than the last is kept 1 ms after it.
    Sample early = readings.back();
    early.time_ms -= 10;
    ASSERT_TRUE(again->add(early));
    again->flush();
    EXPECT_EQ(again->latest(1).at(0).time_ms, readings.back().time_ms + 1);

    // The file reads with the sqlite3 command's SQL: the columns as the README
    // documents them.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* q = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT (SELECT count(*) FROM readings), (SELECT sum(count + over + under) "
                                     "FROM minutes), (SELECT count(*) FROM reading_log WHERE mark = 'OR')",
                                 -1, &q, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int64(q, 0), std::int64_t(readings.size() + 1));
    EXPECT_EQ(sqlite3_column_int64(q, 1), std::int64_t(readings.size() + 1));
    EXPECT_EQ(sqlite3_column_int64(q, 2),
              std::int64_t(ref.statistics(0, INT64_MAX).over + (early.mark == history::Mark::over)));
    sqlite3_finalize(q);
    sqlite3_close(db);
}

TEST(ReadingStore, RetentionDeletesWholeOldMinutesOnly)
{
    TempTree tmp;
    const std::string path = tmp.path("r.db");
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    std::vector<Sample> old_and_new;
    // Three days of a reading every 10 s, up to now.
    for (std::int64_t t = now - 3 * 86400000LL; t < now; t += 10000) {
        Sample s;
        s.time_ms = t;
        s.value = 1;
        old_and_new.push_back(s);
    }
    {
        auto store = open_store(path);
        ASSERT_TRUE(store);
        ASSERT_TRUE(store->write_batch(old_and_new, nullptr));
    }
    auto store = open_store(path, nullptr, 1);
    ASSERT_TRUE(store);
    const std::size_t before = store->count();  // kept, and stale once retention deletes
    EXPECT_GT(before, 0u);
    // The writer deletes in small batches until only a day is left.
    for (int i = 0; i < 2000 && store->time_range()->first < now - 86400000LL - 60000; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto range = store->time_range();
    ASSERT_TRUE(range);
    EXPECT_GE(range->first, now - 86400000LL - 60000);
    EXPECT_LE(range->first, now - 86400000LL + 60000);
    // The minutes went with their rows: the count (from the minutes) is the
    // rows left.
    std::size_t rows = 0;
    store->visit(INT64_MIN, INT64_MAX, [&](const Sample&) { return ++rows, true; });
    EXPECT_EQ(store->count(), rows);
}

// Every file the store must not use: a clear line, and the file as it was.
TEST(ReadingStore, RefusesWhatItCannotUseAndLeavesTheFileAsItWas)
{
    TempTree tmp;
    const std::string sqlite = tmp.path("other.db");
    {
        sqlite3* db = nullptr;
        sqlite3_open(sqlite.c_str(), &db);
        sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1);", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    tmp.write("garbage.db", std::string(5000, 'x'));
    const std::string newer = tmp.path("newer.db");
    const std::string corrupt = tmp.path("corrupt.db");
    {
        history::ReadingHistory ref;
        auto a = open_store(newer);
        auto b = open_store(corrupt);
        ASSERT_TRUE(a && b);
        ASSERT_TRUE(b->write_batch(make_readings(ref, 20000, 3), nullptr));
    }
    {
        sqlite3* db = nullptr;
        sqlite3_open(newer.c_str(), &db);
        sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        // Every page but the first overwritten.
        std::fstream f(corrupt, std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(0, std::ios::end);
        const std::streamoff size = f.tellg();
        for (std::streamoff at = 4096; at < size; at += 4096) {
            f.seekp(at + 8);
            f.write("\xde\xad\xbe\xef\xde\xad\xbe\xef", 8);
        }
    }
    fs::create_directory(tmp.path("ro"));
    tmp.write("ro/kept.db", "");  // a writable file in a read-only folder: no room for its journal
    fs::permissions(tmp.path("ro"), fs::perms::owner_read | fs::perms::owner_exec);
    tmp.write("ro-file.db", "");
    fs::permissions(tmp.path("ro-file.db"), fs::perms::owner_read);
    const bool root = ::geteuid() == 0;  // root writes whatever the modes say

    struct Case {
        std::string file, says;
    };
    std::vector<Case> cases = {
        {tmp.path("missing-dir/r.db"), "cannot open"},
        {sqlite, "not a korvel store (another SQLite database)"},
        {tmp.path("garbage.db"), "not a korvel store (not an SQLite file)"},
        {newer, "newer korvel (layout 99"},
        {corrupt, "is damaged"},
        {tmp.dir(), "cannot open"},
    };
    if (!root) {
        cases.push_back({tmp.path("ro/r.db"), "cannot write"});
        cases.push_back({tmp.path("ro-file.db"), "cannot write"});
        cases.push_back({tmp.path("ro/kept.db"), "cannot write beside"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::error_code ec;
        const bool existed = fs::exists(c.file, ec);
        const auto before_size = existed && fs::is_regular_file(c.file) ? fs::file_size(c.file) : 0;
        std::string error;
        EXPECT_FALSE(open_store(c.file, &error));
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(error.rfind("korvel-test: ", 0), 0u) << error;
        EXPECT_NE(error.find("; "), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(fs::exists(c.file, ec), existed);
        if (existed && fs::is_regular_file(c.file)) {
            EXPECT_EQ(fs::file_size(c.file), before_size);
        }
    }
    fs::permissions(tmp.path("ro"), fs::perms::owner_all);
    // A file this open made is gone again when the store cannot be used.
    const std::string made = tmp.path("made.db");
    StoreOptions o;
    o.path = made;
    o.program = "korvel-test";
    o.keep_days = 0;
    {
        auto holder = ReadingStore::open(o, nullptr);
        ASSERT_TRUE(holder);
    }
    fs::remove(made);
    fs::create_directory(made + "-wal");  // where the journal must go
    std::string error;
    EXPECT_FALSE(ReadingStore::open(o, &error));
    EXPECT_FALSE(fs::exists(made)) << error;
}

TEST(ReadingStore, OpensToBeReadBesideItsWriterAndRefusesOtherFiles)
{
    TempTree tmp;
    const std::string path = tmp.path("readings.db");
    history::ReadingHistory ref(1 << 16);
    const std::vector<Sample> readings = make_readings(ref, 6000, 7);
    auto writer = open_store(path);
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->write_batch(readings, nullptr));
    std::string error;
    // While the writer holds the file: read as the writer reads it, and
    // nothing can be added through it.
    auto reader = ReadingStore::open_read_only(path, "korvel-test", &error);
    ASSERT_TRUE(reader) << error;
    expect_same_source(*reader, ref);
    EXPECT_FALSE(reader->add(readings.back()));
    EXPECT_FALSE(reader->write_batch(readings, nullptr));
    reader.reset();
    writer.reset();
    ASSERT_TRUE(ReadingStore::open_read_only(path, "korvel-test", &error)) << error;

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(tmp.path("other.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE t(x)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    std::ofstream(tmp.path("garbage.db")) << "not a database at all, but long enough";
    for (const auto& [file, why] : {std::pair{tmp.path("other.db"), "another SQLite database"},
                                    std::pair{tmp.path("garbage.db"), "not an SQLite file"},
                                    std::pair{tmp.path("missing.db"), "No such file"}}) {
        EXPECT_FALSE(ReadingStore::open_read_only(file, "korvel-test", &error)) << file;
        EXPECT_NE(error.find(why), std::string::npos) << error;
    }
}

TEST(ReadingStore, ASecondHolderIsToldWhoHasItAndAFullFileSystemStopsTheWriting)
{
    TempTree tmp;
    const std::string path = tmp.path("r.db");
    auto first = open_store(path);
    ASSERT_TRUE(first);
    std::string error;
    EXPECT_FALSE(open_store(path, &error));
    EXPECT_NE(error.find("in use by korvel-test (pid " + std::to_string(::getpid()) + ")"), std::string::npos)
        << error;
    first.reset();
    ASSERT_TRUE(open_store(path, &error)) << error;

    // Free space below the share asked for: the store opens, reads, and
    // says it keeps no more.
    std::vector<std::string> said;
    StoreOptions o;
    o.path = path;
    o.min_free = 1.5;
    o.say = [&](const std::string& line) { said.push_back(line); };
    auto full = ReadingStore::open(o, &error);
    ASSERT_TRUE(full) << error;
    EXPECT_EQ(full->state(), StoreState::full);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("last free space"), std::string::npos) << said[0];
    EXPECT_EQ(full->state_line(), said[0]);
    // Not stored, but still read back, so that the live view goes on.
    const std::size_t before = full->count();
    Sample live;
    live.time_ms = 1'800'000'000'000;
    live.value = 4321;
    EXPECT_FALSE(full->add(live));
    EXPECT_EQ(full->count(), before + 1);
    EXPECT_EQ(full->latest(1).at(0).value, 4321);
    full.reset();
    EXPECT_EQ(open_store(path)->count(), before);
}

} // namespace
} // namespace korvel::store
