// The VXI-11 core channel (ONC RPC program 0x0607AF, version 1, over TCP)
// and its abort channel (0x0607B0), served by libtirpc in the window's event
// loop: the RPC sockets are watched by socket notifiers and every call runs
// on the panel's thread. Device "inst0"; each link is a client like one of
// the socket server's, with its own Interpreter and error queue, up to
// max_links of them.
//
// Nothing blocks the loop: a device_read that waits for a reply (READ?), or
// a call that waits for another link's lock, is answered later (its reply
// is held; a byte from its client meanwhile ends the connection), or with
// an I/O or lock time-out error. A record that does not decode, one larger
// than the record limit, or a second call on a connection while one waits
// for its reply closes that connection (and its links) only.
//
// There is one VXI-11 server per process (the RPC library's dispatch is
// process-wide).
#pragma once

#include "remote/instrument.h"

#include <QHostAddress>
#include <QObject>

#include <memory>
#include <string>

namespace korvel::remote {

class Vxi11Server : public QObject {
public:
    static constexpr int max_links = 16;
    // The largest device_write data taken (create_link's maxRecvSize), and
    // the largest RPC record a connection may send.
    static constexpr unsigned max_receive = 64 * 1024;
    static constexpr unsigned max_record = max_receive + 1024;
    // Connections open at once (a client may keep links on several); one
    // more is closed as it comes.
    static constexpr int max_connections = 4 * max_links;

    explicit Vxi11Server(QObject* parent = nullptr);
    // Unregisters from rpcbind (when registered) and closes every link.
    ~Vxi11Server() override;
    Vxi11Server(const Vxi11Server&) = delete;
    Vxi11Server& operator=(const Vxi11Server&) = delete;

    // Opens the core channel on host:port (0: any free port) and the abort
    // channel on a free port of the same host. On failure gives false and a
    // one-line cause in *error.
    bool listen(const QHostAddress& host, quint16 port, std::string* error);
    QHostAddress address() const;
    quint16 port() const;
    quint16 abort_port() const;

    // Registers both channels with the system's rpcbind, so that clients
    // find the port. On failure gives false and the cause; the server
    // still serves on its port.
    bool register_with_rpcbind(std::string* cause);
    bool registered() const;

    // The instrument the links drive; links are made from now on.
    void attach(Instrument& instrument);

    int link_count() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace korvel::remote
