// What --http runs beside the window: the web page over the panel, its
// history and its trend window; and --hash-password, which makes the
// page's password file.
#pragma once

#include "app/options.h"
#include "app/scripting.h"
#include "session/panel_session.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

// The page's server with what it reads from files (the password file, the
// certificate and key), made before any socket is opened and kept until
// serve_web_page listens.
struct WebPageSetup;

// Checks the page's options and reads its files; opens no socket. On
// failure a one-line diagnostic (cause and remedy) in *error and nullptr.
std::shared_ptr<WebPageSetup> check_web_page(const app::Program& program, const app::Request& request,
                                             std::string* error);

// Starts listening, before the panel starts (needs the application). Gives
// the front end that attaches the page once the panel runs and then says
// where it is served; on failure a one-line diagnostic in *error and
// nothing. scpi, vxi11: where --listen and --vxi11 listen, for the page's
// resource strings; nothing without them. remote_clients: counts the remote
// interface's clients for /metrics (empty without --listen). bound: where
// the page is served.
std::optional<FrontEnds> serve_web_page(const std::shared_ptr<WebPageSetup>& setup, const app::Program& program,
                                        const app::Request& request, const std::optional<ListenAddress>& scpi,
                                        std::string* error, std::function<int()> remote_clients = {},
                                        const std::optional<ListenAddress>& vxi11 = std::nullopt,
                                        ListenAddress* bound = nullptr);

// --hash-password: a password from standard input (asked twice, without
// echo, on a terminal) to its hash on standard output. The exit status.
int hash_password_command(const app::Program& program);

} // namespace korvel
