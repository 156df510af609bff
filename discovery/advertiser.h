// DNS-SD over mDNS through the system's avahi-daemon: advertises the
// services it is told of under one readable instance name, in the calling
// thread's Qt event loop.
//
// A name another host already uses is replaced by Avahi's alternative
// ("korvel-sim on bench3 (0x378) #2") and kept. Without a daemon (not
// installed, not started, restarting) it says so in one line on standard
// error, runs on, and advertises again once the daemon is back.
#pragma once

#include <QHostAddress>
#include <QObject>

#include <memory>
#include <string>
#include <vector>

namespace korvel::discovery {

struct Service {
    std::string type;              // "_scpi-raw._tcp"
    QHostAddress address;          // where the server listens (Any: every interface)
    quint16 port = 0;
    std::vector<std::string> txt;  // "key=value"
};

// Whether a server on this address is for the network: not on loopback.
bool reaches_network(const QHostAddress& address);

// The TXT records of an instrument from its *IDN? answer
// ("korvel,korvel-sim,0,0.1.0"): txtvers, Manufacturer, Model, SerialNumber,
// FirmwareVersion; with path when given (the web page's).
std::vector<std::string> identity_txt(const std::string& idn, const std::string& path = {});

class Advertiser : public QObject {
public:
    // program: the diagnostics' first word; name: the instance name wanted.
    Advertiser(std::string program, std::string name, QObject* parent = nullptr);
    // The advertisements end with it.
    ~Advertiser() override;
    Advertiser(const Advertiser&) = delete;
    Advertiser& operator=(const Advertiser&) = delete;

    // Before start().
    void add(Service service);
    // Connects to the daemon (now or once it runs) and advertises.
    void start();

    // The name the services are advertised under (Avahi's alternative after
    // a conflict).
    std::string name() const;
    bool advertised() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace korvel::discovery
