// One VXI-11 link's conversation, without the RPC around it: the bytes of
// device_write gathered into lines for the link's own Interpreter, and the
// responses kept as messages that device_read hands out in pieces, each
// piece ended by the request size, the termination character or the
// message's end. Plain C++; the server (vxi11_server.h) runs it in the
// event loop.
#pragma once

#include "remote/interpreter.h"
#include "remote/scpi.h"

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace korvel::remote {

class Vxi11Link {
public:
    // device_read's reasons for ending a piece.
    static constexpr int reason_request_count = 1;
    static constexpr int reason_termination_character = 2;
    static constexpr int reason_end = 4;
    // What waits unread before further writes are held back.
    static constexpr std::size_t output_limit = 1 << 20;

    explicit Vxi11Link(Instrument& instrument);

    // device_write's data; end: the END flag (the message ends here, as a
    // newline would end it).
    void write(std::string_view data, bool end);
    // device_trigger: INITiate, after the lines already written.
    void trigger() { lines_.push_back({"INIT", false}); }
    // device_clear: input and output dropped, a waiting query cancelled,
    // a fresh conversation (error queue included).
    void clear();

    // The next whole line to run, if any.
    std::optional<LineSplitter::Line> next_line();
    bool has_lines() const { return !lines_.empty(); }
    // The interpreter's response to the line just run, kept for reading.
    void keep_response();

    struct Piece {
        std::string data;
        int reason = 0;
    };
    // Up to request_size bytes of the oldest message, ended early after
    // term_char when one is given; nothing when no message waits.
    std::optional<Piece> read(std::size_t request_size, std::optional<char> term_char);
    std::size_t unread() const { return unread_; }

    // The status byte: 0x10 a message waits (MAV), 0x04 an error is queued.
    unsigned char status_byte();

    Interpreter& interpreter() { return *interpreter_; }

private:
    Instrument& instrument_;
    std::unique_ptr<Interpreter> interpreter_;
    LineSplitter splitter_;
    std::deque<LineSplitter::Line> lines_;
    std::deque<std::string> output_;
    std::size_t unread_ = 0;
};

} // namespace korvel::remote
