#include "web/http_request.h"

#include <algorithm>
#include <charconv>

namespace korvel::web {

namespace {

bool is_token_char(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_token(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), is_token_char);
}

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The lines of a head (CRLF or bare LF), without their ends.
std::vector<std::string_view> lines_of(std::string_view head)
{
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        std::size_t end = head.find('\n');
        std::string_view line = head.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos)
            break;
        head.remove_prefix(end + 1);
    }
    return lines;
}

} // namespace

std::optional<std::string_view> Request::header(std::string_view name) const
{
    for (const auto& [n, v] : headers)
        if (n == name)
            return std::string_view(v);
    return std::nullopt;
}

RequestParser::State RequestParser::fail(int status, std::string reason)
{
    status_ = status;
    reason_ = std::move(reason);
    state_ = State::failed;
    buffer_.clear();
    return state_;
}

RequestParser::State RequestParser::feed(std::string_view bytes)
{
    if (state_ != State::incomplete)
        return state_;
    if (head_end_ == 0) {
        // Look for the blank line only in what is new (and the 3 bytes
        // before it), so a trickle of bytes costs linear time.
        const std::size_t from = buffer_.size() > 3 ? buffer_.size() - 3 : 0;
        const std::size_t room = limits_.head + 4 - buffer_.size();
        buffer_.append(bytes.substr(0, std::min(bytes.size(), room)));
        bytes.remove_prefix(std::min(bytes.size(), room));
        std::size_t end = std::string::npos;
        std::size_t length = 0;
        for (std::size_t i = from; i < buffer_.size(); ++i) {
            if (buffer_[i] != '\n')
                continue;
            if (i + 1 < buffer_.size() && buffer_[i + 1] == '\n') {
                end = i + 2;
                length = i + 1;
                break;
            }
            if (i + 2 < buffer_.size() && buffer_[i + 1] == '\r' && buffer_[i + 2] == '\n') {
                end = i + 3;
                length = i + 1;
                break;
            }
        }
        // A request line longer than its limit, before the head is done.
        const std::size_t first_line = buffer_.find('\n');
        if ((first_line == std::string::npos ? buffer_.size() : first_line) > limits_.request_line)
            return fail(414, "request line too long");
        if (end == std::string::npos || length > limits_.head) {
            if (buffer_.size() > limits_.head)
                return fail(431, "request head too large");
            return state_;
        }
        // Bytes after the head are the start of the body.
        std::string rest = buffer_.substr(end);
        rest.append(bytes);
        buffer_.resize(length);
        head_end_ = end;
        if (parse_head() != State::incomplete)
            return state_;
        buffer_ = std::move(rest);
        bytes = {};
    }
    buffer_.append(bytes.substr(0, body_length_ + 1 - std::min(buffer_.size(), body_length_ + 1)));
    if (buffer_.size() >= body_length_) {
        request_.body = buffer_.substr(0, body_length_);
        consumed_ = head_end_ + body_length_;
        buffer_.clear();
        state_ = State::complete;
    }
    return state_;
}

RequestParser::State RequestParser::parse_head()
{
    const std::vector<std::string_view> lines = lines_of(buffer_);
    if (lines.empty())
        return fail(400, "empty request");
    // Request line: METHOD SP TARGET SP VERSION.
    const std::string_view line = lines[0];
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos)
        return fail(400, "malformed request line");
    const std::string_view method = line.substr(0, sp1);
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (!is_token(method))
        return fail(400, "malformed method");
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        if (version.substr(0, 5) == "HTTP/")
            return fail(505, "HTTP version not supported");
        return fail(400, "malformed request line");
    }
    if (target.empty() || target[0] != '/')
        return fail(400, "the target is a path");
    for (const char c : target)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            return fail(400, "malformed target");
    request_.method = std::string(method);
    const std::size_t q = target.find('?');
    const auto path = percent_decode(target.substr(0, q), false);
    if (!path)
        return fail(400, "malformed target");
    request_.path = *path;
    if (q != std::string_view::npos)
        request_.query = std::string(target.substr(q + 1));

    std::optional<std::size_t> length;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view h = lines[i];
        if (h.empty())
            continue;
        if (h.front() == ' ' || h.front() == '\t')
            return fail(400, "folded header line");
        if (request_.headers.size() >= limits_.header_count)
            return fail(431, "too many header lines");
        const std::size_t colon = h.find(':');
        if (colon == std::string_view::npos || !is_token(h.substr(0, colon)))
            return fail(400, "malformed header line");
        std::string name(h.substr(0, colon));
        std::transform(name.begin(), name.end(), name.begin(), lower);
        const std::string_view value = trim(h.substr(colon + 1));
        for (const char c : value)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
                return fail(400, "control character in a header");
        if (name == "transfer-encoding")
            return fail(501, "transfer encodings are not taken");
        if (name == "content-length") {
            std::size_t n = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
            if (value.empty() || ec != std::errc() || end != value.data() + value.size())
                return fail(400, "malformed Content-Length");
            if (length && *length != n)
                return fail(400, "conflicting Content-Length");
            length = n;
        }
        request_.headers.emplace_back(std::move(name), std::string(value));
    }
    if (length && *length > limits_.body)
        return fail(413, "request body too large");
    body_length_ = length.value_or(0);
    return state_;
}

std::optional<std::string> percent_decode(std::string_view text, bool plus_is_space)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int hi = hex_value(text[i + 1]);
            const int lo = hex_value(text[i + 2]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            c = static_cast<char>(hi * 16 + lo);
            if (c == '\0')
                return std::nullopt;
            i += 2;
        } else if (c == '+' && plus_is_space) {
            c = ' ';
        }
        out.push_back(c);
    }
    return out;
}

std::map<std::string, std::string> parse_form(std::string_view text)
{
    std::map<std::string, std::string> fields;
    while (!text.empty() && fields.size() < 32) {
        const std::size_t amp = text.find('&');
        const std::string_view pair = text.substr(0, amp);
        text.remove_prefix(amp == std::string_view::npos ? text.size() : amp + 1);
        const std::size_t eq = pair.find('=');
        const auto name = percent_decode(pair.substr(0, eq), true);
        const auto value = eq == std::string_view::npos
                               ? std::optional<std::string>("")
                               : percent_decode(pair.substr(eq + 1), true);
        if (name && value && !name->empty())
            fields.emplace(*name, *value);
    }
    return fields;
}

std::optional<std::string> cookie(std::string_view header, std::string_view name)
{
    while (!header.empty()) {
        const std::size_t semi = header.find(';');
        const std::string_view pair = trim(header.substr(0, semi));
        header.remove_prefix(semi == std::string_view::npos ? header.size() : semi + 1);
        const std::size_t eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == name)
            return std::string(pair.substr(eq + 1));
    }
    return std::nullopt;
}

} // namespace korvel::web

namespace korvel::web {

std::string_view status_text(int status)
{
    switch (status) {
    case 200: return "OK";
    case 303: return "See Other";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
    }
}

std::string serialize(const Response& r, bool head_only)
{
    std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + std::string(status_text(r.status)) + "\r\n";
    out += "Content-Type: " + r.type + "\r\n";
    if (!r.streamed)
        out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    out += "Connection: close\r\n"
           "Cache-Control: no-store\r\n"
           "X-Content-Type-Options: nosniff\r\n"
           "X-Frame-Options: DENY\r\n"
           "Referrer-Policy: same-origin\r\n"
           "Content-Security-Policy: default-src 'self'; img-src 'self' data:; "
           "frame-ancestors 'none'; form-action 'self'; base-uri 'none'\r\n";
    for (const auto& [name, value] : r.headers)
        out += name + ": " + value + "\r\n";
    out += "\r\n";
    if (!head_only)
        out += r.body;
    return out;
}

std::string fill_template(std::string_view text, const std::map<std::string, std::string>& values)
{
    std::string out;
    while (!text.empty()) {
        const std::size_t open = text.find("{{");
        const std::size_t close = open == std::string_view::npos ? open : text.find("}}", open + 2);
        if (close == std::string_view::npos) {
            out.append(text);
            break;
        }
        out.append(text.substr(0, open));
        const auto it = values.find(std::string(text.substr(open + 2, close - open - 2)));
        if (it != values.end())
            out += it->second;
        text.remove_prefix(close + 2);
    }
    return out;
}

} // namespace korvel::web
