// The options --listen and --record, and what they run beside the window:
// the remote interface on a TCP port and the reading log.
//
//   --listen [HOST:]PORT   HOST 127.0.0.1 unless given; PORT 0 picks a free one
//   --record FILE|-        one CSV row per accepted reading, appended
#pragma once

#include "ui/run_panel.h"

#include <QHostAddress>

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

// The extras of a program whose identity names `model` ("korvel-sim").
PanelExtras scripting_extras(std::string model);

} // namespace korvel
