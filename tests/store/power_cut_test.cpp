// A power cut, simulated: while the writer thread commits, the file and its
// WAL are copied at random moments, as a disk would hold them when the power
// went. Each copy must open, pass PRAGMA integrity_check, and hold a prefix
// of the readings handed over, its minutes in step with its rows.
#include "store/reading_store.h"
#include "support/temp_tree.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <thread>

namespace korvel::store {
namespace {

std::string read_all(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string out(in ? std::size_t(in.tellg()) : 0, '\0');
    in.seekg(0);
    in.read(out.data(), std::streamsize(out.size()));
    out.resize(std::size_t(in.gcount()));
    return out;
}

// The WAL's checkpoint sequence and salts: they change when the WAL starts
// over after a checkpoint.
std::string wal_generation(const std::string& wal)
{
    const std::string head = read_all(wal).substr(0, 24);
    return head.size() == 24 ? head.substr(12) : head;
}

history::Sample reading(std::int64_t i)
{
    history::Sample s;
    s.time_ms = 1'700'000'000'000 + i;
    s.value = std::int16_t(i % 39999 - 19999);
    s.setpoint = std::int16_t(i % 30000);
    s.mark = i % 13 == 0 ? history::Mark::over : history::Mark::none;
    return s;
}

TEST(PowerCut, EveryCopyTakenMidWriteOpensWholeWithAPrefixOfTheReadings)
{
    TempTree tmp;
    const std::string path = tmp.path("r.db");
    StoreOptions o;
    o.path = path;
    o.keep_days = 0;
    o.commit_interval_ms = 2;
    std::string error;
    auto store = ReadingStore::open(o, &error);
    ASSERT_TRUE(store) << error;

    std::atomic<bool> done{false};
    std::atomic<bool> finished{false};
    std::int64_t handed = 0;
    std::thread panel([&] {
        // About 20 readings a millisecond, up to 100 000: the WAL passes
        // its checkpoint size several times over.
        while (!done && handed < 100000) {
            for (int k = 0; k < 20; ++k)
                if (store->add(reading(handed)))
                    ++handed;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        finished = true;
    });

    std::mt19937 rng(26);
    std::vector<std::string> copies;
    for (int taken = 0, tries = 0; taken < 20 && tries < 400 && !finished; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 60));
        // The disk at one moment: a copy during which the WAL started over
        // is no such moment, and is taken again.
        const std::string generation = wal_generation(path + "-wal");
        const std::string db = read_all(path);
        const std::string wal = read_all(path + "-wal");
        if (wal_generation(path + "-wal") != generation)
            continue;
        const std::string dir = tmp.path("copy" + std::to_string(taken++));
        fs::create_directory(dir);
        std::ofstream(dir + "/r.db", std::ios::binary) << db;
        std::ofstream(dir + "/r.db-wal", std::ios::binary) << wal;
        copies.push_back(dir + "/r.db");
    }
    done = true;
    panel.join();
    store.reset();
    ASSERT_GE(copies.size(), 5u);

    std::int64_t longest = 0;
    for (const std::string& copy : copies) {
        SCOPED_TRACE(copy);
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(copy.c_str(), &db), SQLITE_OK);
        auto one = [&](const char* sql) {
            sqlite3_stmt* q = nullptr;
            EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &q, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
            std::string out;
            if (sqlite3_step(q) == SQLITE_ROW && sqlite3_column_text(q, 0))
                out = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
            sqlite3_finalize(q);
            return out;
        };
        EXPECT_EQ(one("PRAGMA integrity_check"), "ok");
        const std::int64_t rows = std::stoll(one("SELECT count(*) FROM readings"));
        // A prefix: the first `rows` readings, each as handed over.
        EXPECT_EQ(one("SELECT count(*) FROM readings WHERE time >= 1700000000000 AND time < 1700000000000 + "
                      "(SELECT count(*) FROM readings) AND value = (time - 1700000000000) % 39999 - 19999 "
                      "AND mark = CASE WHEN (time - 1700000000000) % 13 = 0 THEN 1 ELSE 0 END"),
                  std::to_string(rows));
        EXPECT_EQ(one("SELECT CAST(total(count + over + under) AS INTEGER) FROM minutes"), std::to_string(rows));
        longest = std::max(longest, rows);
        sqlite3_close(db);
    }
    // The copies caught the writing under way.
    EXPECT_GT(longest, 0);
    EXPECT_GT(handed, longest);
}

} // namespace
} // namespace korvel::store
