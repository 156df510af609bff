// Passwords, sessions and the login brake.
#include "web/access.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <unistd.h>

namespace korvel::web {
namespace {

TEST(Password, HashVerifiesOnlyItsOwnPasswordAndFileIsChecked)
{
    ASSERT_TRUE(start_crypto());
    const std::string hash = hash_password("correct horse");
    ASSERT_EQ(hash.rfind("$argon2id$", 0), 0u);
    EXPECT_TRUE(verify_password(hash, "correct horse"));
    EXPECT_FALSE(verify_password(hash, "correct hors"));
    EXPECT_FALSE(verify_password(hash, ""));
    EXPECT_FALSE(verify_password("$argon2id$garbage", "correct horse"));
    EXPECT_NE(hash_password("correct horse"), hash);  // salted

    char dir[] = "/tmp/korvel-access-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string good = std::string(dir) + "/good", bad = std::string(dir) + "/bad";
    std::ofstream(good) << hash << "\r\n";
    std::ofstream(bad) << "secret\n" << hash << "\n";
    std::string why;
    EXPECT_EQ(read_password_file(good, &why), hash);
    EXPECT_EQ(read_password_file(bad, &why), std::nullopt);
    EXPECT_NE(why.find("no Argon2id hash"), std::string::npos);
    EXPECT_EQ(read_password_file(std::string(dir) + "/none", &why), std::nullopt);
    EXPECT_EQ(why, "cannot read it");
    std::remove(good.c_str());
    std::remove(bad.c_str());
    rmdir(dir);
}

TEST(Sessions, FoundByIdOnlyUntilIdleOrClosedOrPushedOut)
{
    ASSERT_TRUE(start_crypto());
    Sessions s;
    const Session first = s.open(1000);
    EXPECT_EQ(first.id.size(), 64u);
    EXPECT_EQ(first.token.size(), 64u);
    EXPECT_NE(first.id, first.token);
    ASSERT_NE(s.find(first.id, 2000), nullptr);
    EXPECT_EQ(s.find(first.id, 2000)->token, first.token);
    EXPECT_EQ(s.find(first.id.substr(1), 2000), nullptr);
    EXPECT_EQ(s.find("", 2000), nullptr);
    // Use keeps it alive; idleness ends it.
    EXPECT_NE(s.find(first.id, 2000 + Sessions::idle_ms), nullptr);
    EXPECT_EQ(s.find(first.id, 2000 + 2 * Sessions::idle_ms + 1), nullptr);

    const Session second = s.open(10);
    s.close(second.id);
    EXPECT_EQ(s.find(second.id, 10), nullptr);

    // The least recently used go first once the table is full.
    std::set<std::string> ids;
    std::string oldest;
    for (std::size_t i = 0; i < Sessions::max_sessions + 5; ++i) {
        const Session& n = s.open(static_cast<std::int64_t>(100 + i));
        if (i == 0)
            oldest = n.id;
        ids.insert(n.id);
    }
    EXPECT_EQ(ids.size(), Sessions::max_sessions + 5);  // never the same id twice
    EXPECT_EQ(s.size(), Sessions::max_sessions);
    EXPECT_EQ(s.find(oldest, 200), nullptr);
    EXPECT_TRUE(same_secret("abc", "abc"));
    EXPECT_FALSE(same_secret("abc", "abd"));
    EXPECT_FALSE(same_secret("", ""));  // an empty token matches nothing
}

TEST(LoginThrottle, WaitsGrowAfterFreeFailuresPerAddressAndSuccessForgets)
{
    LoginThrottle t;
    for (int i = 0; i < LoginThrottle::free_failures - 1; ++i) {
        t.failed("10.0.0.1", 0);
        EXPECT_EQ(t.wait_ms("10.0.0.1", 0), 0);
    }
    t.failed("10.0.0.1", 0);
    EXPECT_EQ(t.wait_ms("10.0.0.1", 0), 1000);
    EXPECT_EQ(t.wait_ms("10.0.0.1", 400), 600);
    EXPECT_EQ(t.wait_ms("10.0.0.2", 0), 0);  // others are not held up
    t.failed("10.0.0.1", 1000);
    EXPECT_EQ(t.wait_ms("10.0.0.1", 1000), 2000);
    for (int i = 0; i < 40; ++i)
        t.failed("10.0.0.1", 5000);
    EXPECT_EQ(t.wait_ms("10.0.0.1", 5000), LoginThrottle::max_wait_ms);
    t.succeeded("10.0.0.1");
    EXPECT_EQ(t.wait_ms("10.0.0.1", 5000), 0);
    // A flood of addresses is bounded; the newest are remembered.
    for (int i = 0; i < 3000; ++i)
        for (int k = 0; k < LoginThrottle::free_failures; ++k)
            t.failed("a" + std::to_string(i), i);
    EXPECT_GT(t.wait_ms("a2999", 2999), 0);
}

} // namespace
} // namespace korvel::web
