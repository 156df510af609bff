// The wire format of the remote interface: newline-terminated lines of SCPI
// commands, split into commands and arguments, and the queue of errors that
// SYSTem:ERRor? reads. Plain C++: no toolkit and no panel, so it can be
// tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::remote {

// SCPI error codes the interface raises.
namespace err {
inline constexpr int invalid_character = -101;
inline constexpr int syntax = -102;
inline constexpr int invalid_separator = -103;
inline constexpr int data_type = -104;
inline constexpr int parameter_not_allowed = -108;
inline constexpr int missing_parameter = -109;
inline constexpr int undefined_header = -113;
inline constexpr int string_data = -150;
inline constexpr int settings_conflict = -221;
inline constexpr int out_of_range = -222;
inline constexpr int too_much_data = -223;
inline constexpr int illegal_value = -224;
inline constexpr int data_stale = -230;
inline constexpr int queue_overflow = -350;
inline constexpr int timeout = -365;
} // namespace err

// The standard text of a code ("Undefined header"); "Error" for one not
// listed.
std::string_view error_text(int code);

// The errors not yet read, oldest first. When full, the newest entry is
// replaced by "Queue overflow", as SCPI asks, so the oldest errors survive.
class ErrorQueue {
public:
    static constexpr std::size_t capacity = 16;

    // detail, when given, follows the standard text after ';'.
    void push(int code, std::string_view detail = {});
    // The oldest entry as SYSTem:ERRor? answers it (-113,"Undefined header"),
    // or 0,"No error".
    std::string pop();
    void clear() { entries_.clear(); }
    std::size_t size() const { return entries_.size(); }

private:
    std::deque<std::string> entries_;
};

// Cuts a byte stream into lines at '\n' (a '\r' before it is dropped). A
// line longer than max_line bytes is not kept: its bytes are discarded up to
// its end, and it comes out as one line marked too_long.
class LineSplitter {
public:
    static constexpr std::size_t max_line = 4096;

    struct Line {
        std::string text;
        bool too_long = false;
    };

    void feed(std::string_view bytes);
    // The next complete line, or nothing until more bytes come.
    std::optional<Line> next();
    // Bytes of a line not yet ended.
    std::size_t partial_size() const { return partial_.size(); }

private:
    void end_line();

    std::deque<Line> ready_;
    std::string partial_;
    bool discarding_ = false;
};

// One command of a line, as written: "SOUR:SETP 100" is the header
// mnemonics {"SOUR", "SETP"} and one argument "100".
struct Command {
    // Started with ':' (a path from the root).
    bool absolute = false;
    // A common command: "*IDN?" has the mnemonic "IDN".
    bool common = false;
    bool query = false;
    std::vector<std::string> mnemonics;
    // Arguments in order; quoted strings without their quotes.
    std::vector<std::string> args;
    // Which arguments were quoted strings.
    std::vector<bool> quoted;
};

struct ParsedLine {
    std::vector<Command> commands;
    // Set when the line is malformed: then commands is empty and nothing
    // of the line may run.
    int error = 0;
    std::string detail;
};

// Splits a line into its ';'-separated commands. Any byte outside printable
// ASCII, space and tab is an invalid character; a malformed header or
// argument list is a syntax error. Empty commands (";;", a trailing ';')
// are skipped.
ParsedLine parse_line(std::string_view line);

// A header node of a command table: long form "SETPoint" (the upper-case
// letters are the short form); "[SOURce]" is optional.
struct Node {
    std::string_view long_form;
    bool optional = false;
};

// Whether a written mnemonic names the node: its short or its long form,
// in any case.
bool mnemonic_matches(std::string_view written, std::string_view long_form);

// Whether the written mnemonics name the header made of nodes.
bool header_matches(const std::vector<std::string>& written, const std::vector<Node>& nodes);

// Parses a header pattern such as "[SOURce]:SETPoint" or "SYSTem:ERRor[:NEXT]".
std::vector<Node> header_pattern(std::string_view pattern);

// Argument values.
// Decimal numeric data ("12", "-7.5", "1e3", rounded half away from zero)
// or non-decimal data ("#HFF", "#B1010", "#Q17"); nothing when the text is
// not a number. A value beyond ±1e9 comes out as ±(1e9 + 1), so that range
// checks refuse it.
std::optional<long> parse_number(std::string_view text);
// Decimal numeric data as it is written, not rounded ("0.25", "250E-3");
// nothing for anything else, non-decimal data included. A value beyond what
// a double holds is ±(1e9 + 1), as parse_number gives it, or 0 when tiny.
std::optional<double> parse_real(std::string_view text);
// ON, OFF, 1 or 0 in any case.
std::optional<bool> parse_boolean(std::string_view text);

} // namespace korvel::remote
