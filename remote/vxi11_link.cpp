#include "remote/vxi11_link.h"

#include <algorithm>

namespace korvel::remote {

Vxi11Link::Vxi11Link(Instrument& instrument)
    : instrument_(instrument), interpreter_(std::make_unique<Interpreter>(instrument))
{
}

void Vxi11Link::write(std::string_view data, bool end)
{
    splitter_.feed(data);
    // END closes the message as its newline would; a message that ends
    // with its own newline gets no empty line after it.
    const bool ended = data.empty() ? splitter_.partial_size() == 0 : data.back() == '\n';
    if (end && !ended)
        splitter_.feed("\n");
    while (auto line = splitter_.next())
        lines_.push_back(std::move(*line));
}

void Vxi11Link::clear()
{
    // The owner's hook goes on with the fresh conversation (abandon drops it).
    auto hook = std::move(interpreter_->on_measured);
    interpreter_->abandon();
    auto fresh = std::make_unique<Interpreter>(instrument_);
    fresh->on_measured = std::move(hook);
    interpreter_ = std::move(fresh);
    splitter_ = LineSplitter();
    lines_.clear();
    output_.clear();
    unread_ = 0;
}

std::optional<LineSplitter::Line> Vxi11Link::next_line()
{
    if (lines_.empty())
        return std::nullopt;
    LineSplitter::Line line = std::move(lines_.front());
    lines_.pop_front();
    return line;
}

void Vxi11Link::keep_response()
{
    std::string response = interpreter_->take_response();
    if (response.empty())
        return;
    unread_ += response.size();
    output_.push_back(std::move(response));
}

std::optional<Vxi11Link::Piece> Vxi11Link::read(std::size_t request_size,
                                                std::optional<char> term_char)
{
    if (output_.empty())
        return std::nullopt;
    std::string& message = output_.front();
    Piece piece;
    std::size_t take = std::min(request_size, message.size());
    if (term_char) {
        const std::size_t at = message.find(*term_char);
        if (at != std::string::npos && at < take) {
            take = at + 1;
            piece.reason |= reason_termination_character;
        }
    }
    piece.data = message.substr(0, take);
    if (take == message.size()) {
        piece.reason |= reason_end;
        output_.pop_front();
    } else {
        message.erase(0, take);
    }
    if (take == request_size)
        piece.reason |= reason_request_count;
    unread_ -= take;
    return piece;
}

unsigned char Vxi11Link::status_byte()
{
    unsigned char stb = 0;
    if (!output_.empty())
        stb |= 0x10;
    if (interpreter_->errors().size() > 0)
        stb |= 0x04;
    return stb;
}

} // namespace korvel::remote
