// The request parser: what it takes, what it refuses with which status,
// that every limit holds however the bytes are split, and a fuzz run of
// random and mutated requests (KORVEL_FUZZ_ITERATIONS, 20 000 by default)
// that must end without a crash under the sanitizers, with every limit
// kept.
#include "web/http_request.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace korvel::web {
namespace {

// Feeds text whole, then byte by byte; both must agree.
RequestParser parsed(const std::string& text, Limits limits = {})
{
    RequestParser whole(limits);
    whole.feed(text);
    RequestParser bytes(limits);
    for (const char c : text)
        bytes.feed(std::string_view(&c, 1));
    EXPECT_EQ(whole.state(), bytes.state()) << text.substr(0, 80);
    EXPECT_EQ(whole.status(), bytes.status()) << text.substr(0, 80);
    if (whole.state() == RequestParser::State::complete) {
        EXPECT_EQ(whole.request().body, bytes.request().body);
        EXPECT_EQ(whole.request().headers, bytes.request().headers);
    }
    return whole;
}

TEST(RequestParser, TakesWellFormedRequests)
{
    auto p = parsed("GET /lxi/identification?x=1 HTTP/1.1\r\nHost: 127.0.0.1:80\r\nX-A:  b c \r\n\r\n");
    ASSERT_EQ(p.state(), RequestParser::State::complete);
    EXPECT_EQ(p.request().method, "GET");
    EXPECT_EQ(p.request().path, "/lxi/identification");
    EXPECT_EQ(p.request().query, "x=1");
    EXPECT_EQ(p.request().header("host"), "127.0.0.1:80");
    EXPECT_EQ(p.request().header("x-a"), "b c");
    EXPECT_FALSE(p.request().header("cookie"));

    p = parsed("POST /login HTTP/1.0\nContent-Length: 11\n\npassword=ab");
    ASSERT_EQ(p.state(), RequestParser::State::complete);
    EXPECT_EQ(p.request().body, "password=ab");
    EXPECT_EQ(p.request().path, "/login");

    // A body that has not all arrived yet.
    RequestParser part;
    EXPECT_EQ(part.feed("POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nab"), RequestParser::State::incomplete);
    EXPECT_EQ(part.feed("cdEXTRA"), RequestParser::State::complete);
    EXPECT_EQ(part.request().body, "abcd");
    EXPECT_EQ(part.request().path, "/");
}

TEST(RequestParser, RefusesWhatItCannotTakeWithItsStatus)
{
    const Limits small{64, 256, 4, 16};
    const struct {
        std::string text;
        int status;
    } cases[] = {
        {"GET / HTTP/2.0\r\n\r\n", 505},
        {"GET / FOO\r\n\r\n", 400},
        {"GET  / HTTP/1.1\r\n\r\n", 400},
        {"GET http://x/ HTTP/1.1\r\n\r\n", 400},
        {"G(T / HTTP/1.1\r\n\r\n", 400},
        {"GET /%zz HTTP/1.1\r\n\r\n", 400},
        {"GET /%00 HTTP/1.1\r\n\r\n", 400},
        {"GET /\x01 HTTP/1.1\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nNoColon\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nA: b\r\n folded\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nBad Name: b\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nA: b\x01\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
        {"POST / HTTP/1.1\r\nContent-Length: 17\r\n\r\n", 413},
        {"GET /" + std::string(100, 'a') + " HTTP/1.1\r\n\r\n", 414},
        {"GET / HTTP/1.1\r\nA: " + std::string(300, 'a') + "\r\n\r\n", 431},
        {"GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\nE: 5\r\n\r\n", 431},
    };
    for (const auto& c : cases) {
        const auto p = parsed(c.text, small);
        EXPECT_EQ(p.state(), RequestParser::State::failed) << c.text.substr(0, 60);
        EXPECT_EQ(p.status(), c.status) << c.text.substr(0, 60);
        EXPECT_FALSE(p.reason().empty());
    }
    // A head that never ends is refused at its limit, not kept growing.
    RequestParser endless(small);
    for (int i = 0; i < 1000 && endless.state() == RequestParser::State::incomplete; ++i)
        endless.feed("X-Header: value\r\n");
    EXPECT_EQ(endless.state(), RequestParser::State::failed);
    // Once failed or complete, more bytes change nothing.
    EXPECT_EQ(endless.feed("\r\n\r\n"), RequestParser::State::failed);
}

TEST(RequestParser, FormsCookiesAndEscapes)
{
    const auto f = parse_form("action=step&spin=coarse&value=up&action=again&x=a%20b+c&bad=%zz&=nameless&flag");
    EXPECT_EQ(f.at("action"), "step");  // the first of duplicates
    EXPECT_EQ(f.at("x"), "a b c");
    EXPECT_FALSE(f.contains("bad"));
    EXPECT_EQ(f.at("flag"), "");
    EXPECT_EQ(f.size(), 5u);
    std::string many;
    for (int i = 0; i < 100; ++i)
        many += "f" + std::to_string(i) + "=1&";
    EXPECT_EQ(parse_form(many).size(), 32u);

    EXPECT_EQ(cookie("a=1; korvel_session=abc; b=2", "korvel_session"), "abc");
    EXPECT_EQ(cookie("korvel_session_x=1", "korvel_session"), std::nullopt);
    EXPECT_EQ(cookie("", "korvel_session"), std::nullopt);
    EXPECT_EQ(percent_decode("%41%4a%4A", false), "AJJ");
    EXPECT_EQ(percent_decode("%4", false), std::nullopt);
    EXPECT_EQ(percent_decode("%", false), std::nullopt);
    EXPECT_EQ(percent_decode("a+b", false), "a+b");

    EXPECT_EQ(fill_template("<p>{{A}}{{B}}{{missing}}</p>{{open", {{"A", "1"}, {"B", "{{A}}"}}), "<p>1{{A}}</p>{{open");
    const std::string r = serialize({404, "text/plain", "gone", {{"Location", "/"}}}, true);
    EXPECT_EQ(r.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    EXPECT_NE(r.find("Content-Length: 4\r\n"), std::string::npos);
    EXPECT_NE(r.find("Location: /\r\n"), std::string::npos);
    EXPECT_TRUE(r.ends_with("\r\n\r\n"));  // HEAD: no body
}

const char* const corpus[] = {
    "GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n",
    "POST /login HTTP/1.1\r\nHost: h\r\nContent-Length: 14\r\n\r\npassword=abcde",
    "POST /api/control HTTP/1.1\r\nCookie: korvel_session=00ff\r\nX-Korvel-Token: 12\r\n"
    "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 21\r\n\r\naction=power&value=on",
    "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nOrigin: http://h\r\n\r\n",
    "HEAD /lxi/identification?span=%41 HTTP/1.0\n\n",
};

std::string mutate(std::mt19937& rng, std::string s)
{
    const int edits = std::uniform_int_distribution<int>(0, 6)(rng);
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (rng() % 7) {
        case 0: s.insert(at, 1, static_cast<char>(rng() % 256)); break;
        case 1: if (at < s.size()) s.erase(at, 1); break;
        case 2: if (at < s.size()) s[at] = static_cast<char>(rng() % 256); break;
        case 3: s.insert(at, std::string(rng() % 3000, "a:\r\n %"[rng() % 6])); break;
        case 4: s.insert(at, "Content-Length: " + std::to_string(static_cast<long long>(rng()) - 100) + "\r\n"); break;
        case 5: s.insert(at, "\r\n"); break;
        default: s.insert(at, corpus[rng() % std::size(corpus)]); break;
        }
    }
    return s;
}

TEST(RequestParserFuzz, RandomAndMutatedBytesKeepEveryLimit)
{
    long iterations = 20000;
    if (const char* n = std::getenv("KORVEL_FUZZ_ITERATIONS"))
        iterations = std::strtol(n, nullptr, 10);
    std::mt19937 rng(20261207);
    const Limits limits;
    for (long i = 0; i < iterations; ++i) {
        std::string input;
        if (rng() % 4 == 0) {
            input.resize(rng() % 12000);
            for (char& c : input)
                c = static_cast<char>(rng() % 256);
        } else {
            input = mutate(rng, corpus[rng() % std::size(corpus)]);
        }
        RequestParser p(limits);
        for (std::size_t at = 0; at < input.size();) {
            const std::size_t n = std::min<std::size_t>(input.size() - at, 1 + rng() % 700);
            p.feed(std::string_view(input).substr(at, n));
            at += n;
        }
        if (p.state() == RequestParser::State::complete) {
            const Request& r = p.request();
            ASSERT_LE(r.body.size(), limits.body);
            ASSERT_LE(r.headers.size(), limits.header_count);
            ASSERT_FALSE(r.path.empty());
            ASSERT_EQ(r.path[0], '/');
            ASSERT_EQ(r.path.find('\0'), std::string::npos);
            for (const auto& [name, value] : r.headers) {
                ASSERT_FALSE(name.empty());
                for (const char c : name + value)
                    ASSERT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\t');
            }
            parse_form(r.body);
            if (const auto h = r.header("cookie"))
                cookie(*h, "korvel_session");
        } else if (p.state() == RequestParser::State::failed) {
            ASSERT_TRUE(p.status() == 400 || p.status() == 413 || p.status() == 414 || p.status() == 431 ||
                        p.status() == 501 || p.status() == 505)
                << p.status();
        }
    }
}

} // namespace
} // namespace korvel::web
