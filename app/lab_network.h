// What --vxi11 runs beside the window: the VXI-11 channels over the panel's
// remote view, registered with the system's rpcbind.
#pragma once

#include "app/options.h"
#include "app/scripting.h"
#include "session/panel_session.h"

#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// --vxi11's value, [HOST][:PORT]: "" (127.0.0.1, any free port),
// "0.0.0.0", ":1024", "192.0.2.7:1024", "[::1]". Nothing when it is not
// such an address; *why says what is wrong.
std::optional<ListenAddress> parse_vxi11_address(std::string_view text, std::string* why);

// Opens the channels before the panel starts (needs the application) and
// registers them with rpcbind; gives the front end that serves them once
// the panel runs. A port that cannot be opened is a one-line diagnostic in
// *error and nothing; rpcbind not answering is one line on standard error,
// and the program runs on and registers once rpcbind answers. bound: the
// core channel's address.
std::optional<FrontEnds> prepare_vxi11(const std::string& model, const std::string& address,
                                       bool record_to_stdout, std::string* error,
                                       ListenAddress* bound = nullptr);

// The servers a program runs, where they listen.
struct LabServers {
    std::optional<ListenAddress> scpi;   // --listen
    std::optional<ListenAddress> http;   // --http
    std::optional<ListenAddress> vxi11;  // --vxi11
};

// Advertises over mDNS (avahi-daemon) each server that listens on an address
// other than loopback: _scpi-raw._tcp, _lxi._tcp and _http._tcp, _vxi-11._tcp,
// as "MODEL on HOST (PORT)"; port: the board's port as the name shows it
// ("parport0", "0x378"). Nothing to advertise gives an empty front end.
// The board's port as the advertised name shows it: "parport0" for the
// kernel's port at the start address, else the address ("0x378").
std::string port_label(const app::Program& program, const app::Request& request, SystemCalls& sys,
                       const HardwarePaths& paths);

FrontEnds prepare_discovery(const std::string& model, const std::string& port, const LabServers& servers);

} // namespace korvel
