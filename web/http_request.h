// One HTTP/1.1 request read from a connection's bytes, with hard limits on
// every part, so that no sequence of bytes from a client costs more than a
// bounded amount of memory or is taken for more than it is. Plain C++: the
// server feeds it what the socket gave, and tests feed it anything.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvel::web {

struct Limits {
    std::size_t request_line = 2048;  // method, target and version
    std::size_t head = 8192;          // request line and every header line
    std::size_t header_count = 32;
    std::size_t body = 4096;
};

struct Request {
    std::string method;  // "GET", "POST" ...
    std::string path;    // percent-decoded, without the query
    std::string query;   // as sent, without the '?'
    // Header names in lower case, values trimmed, in the order sent.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first header of that name (lower case), or nothing.
    std::optional<std::string_view> header(std::string_view name) const;
};

class RequestParser {
public:
    enum class State { incomplete, complete, failed };

    explicit RequestParser(Limits limits = {}) : limits_(limits) {}

    // Takes more bytes of the connection; gives the state after them. Once
    // complete or failed, further bytes are ignored (the server answers and
    // closes: one request per connection).
    State feed(std::string_view bytes);
    State state() const { return state_; }

    // complete: the request. failed: the status to answer (400, 405, 413,
    // 414, 431, 501, 505) and why, in a few words.
    const Request& request() const { return request_; }
    int status() const { return status_; }
    const std::string& reason() const { return reason_; }
    // The bytes taken so far that belong to no request (an upgrade's
    // first frame may follow the head): none while incomplete.
    std::size_t consumed() const { return consumed_; }

private:
    State fail(int status, std::string reason);
    State parse_head();

    Limits limits_;
    State state_ = State::incomplete;
    std::string buffer_;
    std::size_t head_end_ = 0;    // where the body starts, once the head is read
    std::size_t body_length_ = 0;
    Request request_;
    int status_ = 0;
    std::string reason_;
    std::size_t consumed_ = 0;
};

// "a=1&b=x%20y" into its fields (later duplicates ignored); '+' is a space.
// Malformed escapes are kept as written. At most 32 fields.
std::map<std::string, std::string> parse_form(std::string_view text);
// The Cookie header's "name=value; name2=value2"; nothing for a missing name.
std::optional<std::string> cookie(std::string_view header, std::string_view name);
// Percent-decoding; nothing when an escape is malformed or decodes to NUL.
std::optional<std::string> percent_decode(std::string_view text, bool plus_is_space);

} // namespace korvel::web

namespace korvel::web {

struct Response {
    int status = 200;
    std::string type = "text/html; charset=utf-8";
    std::string body;
    // More header lines, such as Set-Cookie and Location.
    std::vector<std::pair<std::string, std::string>> headers;
    // The body follows the head as it is made, until the connection
    // closes: no Content-Length.
    bool streamed = false;
};

// The bytes of a response, with the headers every answer of this server
// carries (no caching, no sniffing, no framing, the page's own sources
// only) and Connection: close. head_only: the answer to HEAD, without body.
std::string serialize(const Response& r, bool head_only = false);
// "Not Found" for 404 ...
std::string_view status_text(int status);
// The page's placeholders {{NAME}} replaced by their values (already
// escaped for where they go); unknown names are left empty.
std::string fill_template(std::string_view text, const std::map<std::string, std::string>& values);

} // namespace korvel::web
