#include "remote/scpi.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace korvel::remote {

std::string_view error_text(int code)
{
    switch (code) {
    case 0: return "No error";
    case err::invalid_character: return "Invalid character";
    case err::syntax: return "Syntax error";
    case err::invalid_separator: return "Invalid separator";
    case err::data_type: return "Data type error";
    case err::parameter_not_allowed: return "Parameter not allowed";
    case err::missing_parameter: return "Missing parameter";
    case err::undefined_header: return "Undefined header";
    case err::string_data: return "String data error";
    case err::settings_conflict: return "Settings conflict";
    case err::out_of_range: return "Data out of range";
    case err::too_much_data: return "Too much data";
    case err::illegal_value: return "Illegal parameter value";
    case err::data_stale: return "Data stale";
    case err::queue_overflow: return "Queue overflow";
    case err::timeout: return "Time out error";
    default: return "Error";
    }
}

namespace {

std::string format_error(int code, std::string_view detail)
{
    std::string s = std::to_string(code) + ",\"" + std::string(error_text(code));
    if (!detail.empty()) {
        s += ';';
        // The text is a quoted string: a quote inside is doubled.
        for (char ch : detail) {
            s += ch;
            if (ch == '"')
                s += '"';
        }
    }
    return s + '"';
}

} // namespace

void ErrorQueue::push(int code, std::string_view detail)
{
    if (entries_.size() >= capacity) {
        entries_.back() = format_error(err::queue_overflow, {});
        return;
    }
    entries_.push_back(format_error(code, detail));
}

std::string ErrorQueue::pop()
{
    if (entries_.empty())
        return format_error(0, {});
    std::string e = std::move(entries_.front());
    entries_.pop_front();
    return e;
}

void LineSplitter::feed(std::string_view bytes)
{
    while (!bytes.empty()) {
        const std::size_t nl = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, nl);
        if (!discarding_) {
            partial_.append(piece);
            // One byte of slack for the '\r' of a "\r\n" ending.
            if (partial_.size() > max_line + 1) {
                partial_.clear();
                discarding_ = true;
            }
        }
        if (nl == std::string_view::npos)
            return;
        end_line();
        bytes.remove_prefix(nl + 1);
    }
}

void LineSplitter::end_line()
{
    if (!partial_.empty() && partial_.back() == '\r')
        partial_.pop_back();
    if (discarding_ || partial_.size() > max_line)
        ready_.push_back({{}, true});
    else
        ready_.push_back({std::move(partial_), false});
    partial_.clear();
    discarding_ = false;
}

std::optional<LineSplitter::Line> LineSplitter::next()
{
    if (ready_.empty())
        return std::nullopt;
    Line l = std::move(ready_.front());
    ready_.pop_front();
    return l;
}

namespace {

bool is_space(char c) { return c == ' ' || c == '\t'; }
bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// A cursor over one line.
struct Cursor {
    std::string_view s;
    std::size_t i = 0;

    bool done() const { return i >= s.size(); }
    char peek() const { return done() ? '\0' : s[i]; }
    void skip_space()
    {
        while (!done() && is_space(s[i]))
            ++i;
    }
};

struct Failure {
    int code;
    std::string detail;
};

// mnemonic: a letter, then letters, digits and '_'.
std::optional<std::string> read_mnemonic(Cursor& c)
{
    if (!is_alpha(c.peek()))
        return std::nullopt;
    const std::size_t start = c.i;
    while (!c.done() && (is_alpha(c.s[c.i]) || is_digit(c.s[c.i]) || c.s[c.i] == '_'))
        ++c.i;
    return std::string(c.s.substr(start, c.i - start));
}

// One argument: a quoted string ('…' or "…", the quote doubled inside), or
// a run of characters up to ',' or ';' without inner blanks.
std::optional<Failure> read_argument(Cursor& c, Command& cmd)
{
    c.skip_space();
    const char q = c.peek();
    if (q == '"' || q == '\'') {
        ++c.i;
        std::string value;
        for (;;) {
            if (c.done())
                return Failure{err::string_data, "unterminated string"};
            const char ch = c.s[c.i++];
            if (ch == q) {
                if (c.peek() == q) {
                    value += q;
                    ++c.i;
                    continue;
                }
                break;
            }
            value += ch;
        }
        cmd.args.push_back(std::move(value));
        cmd.quoted.push_back(true);
    } else {
        const std::size_t start = c.i;
        while (!c.done() && c.s[c.i] != ',' && c.s[c.i] != ';' && !is_space(c.s[c.i]))
            ++c.i;
        if (c.i == start)
            return Failure{err::syntax, "empty argument"};
        cmd.args.emplace_back(c.s.substr(start, c.i - start));
        cmd.quoted.push_back(false);
    }
    c.skip_space();
    if (!c.done() && c.peek() != ',' && c.peek() != ';')
        return Failure{err::invalid_separator, "arguments are separated by ','"};
    return std::nullopt;
}

std::optional<Failure> read_command(Cursor& c, Command& cmd)
{
    c.skip_space();
    if (c.peek() == '*') {
        ++c.i;
        cmd.common = true;
        auto m = read_mnemonic(c);
        if (!m)
            return Failure{err::syntax, "'*' must be followed by a command name"};
        cmd.mnemonics.push_back(std::move(*m));
    } else {
        if (c.peek() == ':') {
            cmd.absolute = true;
            ++c.i;
        }
        for (;;) {
            auto m = read_mnemonic(c);
            if (!m)
                return Failure{err::syntax, "a header is words joined by ':'"};
            cmd.mnemonics.push_back(std::move(*m));
            if (c.peek() != ':')
                break;
            ++c.i;
        }
    }
    if (c.peek() == '?') {
        cmd.query = true;
        ++c.i;
    }
    if (c.done() || c.peek() == ';')
        return std::nullopt;
    if (!is_space(c.peek()))
        return Failure{err::syntax, "unexpected character after the header"};
    c.skip_space();
    if (c.done() || c.peek() == ';')
        return std::nullopt;
    for (;;) {
        if (auto f = read_argument(c, cmd))
            return f;
        if (c.peek() != ',')
            return std::nullopt;
        ++c.i;
    }
}

} // namespace

ParsedLine parse_line(std::string_view line)
{
    ParsedLine out;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto b = static_cast<unsigned char>(line[i]);
        if ((b < 0x20 && b != '\t') || b >= 0x7F) {
            out.error = err::invalid_character;
            out.detail = "byte " + std::to_string(b) + " at column " + std::to_string(i + 1);
            return out;
        }
    }
    Cursor c{line};
    for (;;) {
        c.skip_space();
        if (c.done())
            break;
        if (c.peek() == ';') {
            ++c.i;
            continue;
        }
        Command cmd;
        if (auto f = read_command(c, cmd)) {
            out.commands.clear();
            out.error = f->code;
            out.detail = std::move(f->detail);
            return out;
        }
        out.commands.push_back(std::move(cmd));
        if (c.peek() == ';')
            ++c.i;
    }
    return out;
}

bool mnemonic_matches(std::string_view written, std::string_view long_form)
{
    std::string short_form;
    for (char ch : long_form)
        if (ch >= 'A' && ch <= 'Z')
            short_form += ch;
    auto same = [&](std::string_view form) {
        if (written.size() != form.size())
            return false;
        for (std::size_t i = 0; i < form.size(); ++i)
            if (upper(written[i]) != upper(form[i]))
                return false;
        return true;
    };
    return same(short_form) || same(long_form);
}

namespace {

bool match_from(const std::vector<std::string>& written, std::size_t w,
                const std::vector<Node>& nodes, std::size_t n)
{
    if (n == nodes.size())
        return w == written.size();
    if (nodes[n].optional && match_from(written, w, nodes, n + 1))
        return true;
    return w < written.size() && mnemonic_matches(written[w], nodes[n].long_form) &&
           match_from(written, w + 1, nodes, n + 1);
}

} // namespace

bool header_matches(const std::vector<std::string>& written, const std::vector<Node>& nodes)
{
    return match_from(written, 0, nodes, 0);
}

std::vector<Node> header_pattern(std::string_view pattern)
{
    std::vector<Node> nodes;
    std::size_t i = 0;
    while (i < pattern.size()) {
        bool optional = false;
        if (pattern[i] == '[') {
            optional = true;
            ++i;
        }
        if (i < pattern.size() && pattern[i] == ':')
            ++i;
        const std::size_t start = i;
        while (i < pattern.size() && pattern[i] != ':' && pattern[i] != '[' && pattern[i] != ']')
            ++i;
        nodes.push_back({pattern.substr(start, i - start), optional});
        if (i < pattern.size() && pattern[i] == ']')
            ++i;
    }
    return nodes;
}

namespace {

// A decimal number checked by parse_number's grammar, as from_chars reads
// it (which takes no leading '+'); the result points into `text`.
std::from_chars_result decimal_value(std::string_view text, double& v)
{
    const std::size_t skip = text[0] == '+' ? 1 : 0;
    return std::from_chars(text.data() + skip, text.data() + text.size(), v);
}

} // namespace

std::optional<long> parse_number(std::string_view text)
{
    constexpr double limit = 1e9;
    if (text.size() > 2 && text[0] == '#') {
        int base = 0;
        switch (upper(text[1])) {
        case 'H': base = 16; break;
        case 'Q': base = 8; break;
        case 'B': base = 2; break;
        default: return std::nullopt;
        }
        std::uint64_t v = 0;
        const char* end = text.data() + text.size();
        const auto [p, ec] = std::from_chars(text.data() + 2, end, v, base);
        if (p != end || (ec != std::errc() && ec != std::errc::result_out_of_range))
            return std::nullopt;
        if (ec != std::errc() || v > static_cast<std::uint64_t>(limit))
            return static_cast<long>(limit + 1);
        return static_cast<long>(v);
    }
    // Decimal: [sign] digits [. digits] [E [sign] digits], a digit somewhere
    // in the mantissa. Checked by hand: the number parser would also take
    // "inf" and "nan".
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < text.size() && is_digit(text[i]))
        ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && is_digit(text[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return std::nullopt;
    int exponent_sign = 0;
    if (i < text.size() && upper(text[i]) == 'E') {
        ++i;
        exponent_sign = 1;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            exponent_sign = text[i++] == '-' ? -1 : 1;
        const std::size_t start = i;
        while (i < text.size() && is_digit(text[i]))
            ++i;
        if (i == start)
            return std::nullopt;
    }
    if (i != text.size())
        return std::nullopt;
    double v = 0;
    const auto [p, ec] = decimal_value(text, v);
    const long beyond = (text[0] == '-' ? -1 : 1) * static_cast<long>(limit + 1);
    if (ec == std::errc::result_out_of_range) {
        // Beyond what a double holds: too small is zero, too large is
        // beyond the limit.
        const std::string_view body = text.substr(text[0] == '+' ? 1 : 0);
        const bool whole_part = body.find_first_not_of("0.") < body.find('.');
        const bool tiny = exponent_sign < 0 || (exponent_sign == 0 && !whole_part);
        return tiny ? 0 : beyond;
    }
    if (ec != std::errc() || p != text.data() + text.size())
        return std::nullopt;
    if (!(std::fabs(v) <= limit))
        return beyond;
    return static_cast<long>(std::lround(v));
}

std::optional<double> parse_real(std::string_view text)
{
    // The grammar is parse_number's decimal one.
    if (text.empty() || text[0] == '#' || !parse_number(text))
        return std::nullopt;
    double v = 0;
    const auto [p, ec] = decimal_value(text, v);
    if (ec == std::errc::result_out_of_range) {
        // Too small is zero; too large is parse_number's ±(1e9 + 1).
        return static_cast<double>(*parse_number(text));
    }
    if (ec != std::errc() || p != text.data() + text.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

std::optional<bool> parse_boolean(std::string_view text)
{
    if (mnemonic_matches(text, "ON") || text == "1")
        return true;
    if (mnemonic_matches(text, "OFF") || text == "0")
        return false;
    return std::nullopt;
}

} // namespace korvel::remote
