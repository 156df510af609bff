// What --listen and --record run beside the window: the remote interface on
// a TCP port and the reading log, both over the panel's remote view.
#pragma once

#include "session/panel_session.h"

#include <QHostAddress>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

struct ListenAddress {
    QHostAddress host;
    quint16 port = 0;
};

// "5025", "127.0.0.1:5025", "0.0.0.0:5025", "[::1]:5025", "localhost:0".
// Nothing when the text is not such an address; *why says what is wrong.
std::optional<ListenAddress> parse_listen_address(std::string_view text, std::string* why);

// "127.0.0.1:5025", "[::1]:5025": an address as the diagnostics show it.
QString address_text(const QHostAddress& host, quint16 port);

// Opens the log and starts listening, before the panel starts (needs the
// application); gives the front end that serves them once the panel runs. On failure gives a one-line diagnostic (cause and remedy)
// and nothing. model: the program's name, also the second field of the
// remote identity.
// listen: a text parse_listen_address took; record: a file or "-".
// listening: where the remote interface listens, when it does.
// remote_clients: set to what counts the connected clients, when it listens.
std::optional<FrontEnds> prepare_scripting(const std::string& model,
                                              const std::optional<std::string>& listen,
                                              const std::optional<std::string>& record,
                                              std::string* error,
                                              ListenAddress* listening = nullptr,
                                              std::function<int()>* remote_clients = nullptr);

} // namespace korvel
