#include "discovery/advertiser.h"

#include "discovery/qt_avahi_poll.h"

#include <QNetworkInterface>
#include <QTimer>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

#include <cstdio>
#include <sstream>

namespace korvel::discovery {

bool reaches_network(const QHostAddress& address)
{
    return !address.isNull() && !address.isLoopback();
}

std::vector<std::string> identity_txt(const std::string& idn, const std::string& path)
{
    std::vector<std::string> field;
    std::stringstream in(idn);
    for (std::string f; std::getline(in, f, ',');)
        field.push_back(f);
    field.resize(4);
    std::vector<std::string> txt{"txtvers=1", "Manufacturer=" + field[0], "Model=" + field[1],
                                 "SerialNumber=" + field[2], "FirmwareVersion=" + field[3]};
    if (!path.empty())
        txt.push_back("path=" + path);
    return txt;
}

namespace {
// How long to wait before trying again when even D-Bus cannot be reached.
constexpr int reconnect_ms = 5000;
} // namespace

struct Advertiser::State {
    Advertiser* owner;
    std::string program;
    std::string name;
    std::vector<Service> services;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    bool advertised = false;
    bool said_missing = false;
    QTimer reconnect;

    void connect_client();
    void drop_client();
    void client_changed(AvahiClient* c, AvahiClientState s);
    void group_changed(AvahiEntryGroup* g, AvahiEntryGroupState s);
    void publish();
    void missing(const char* why);
    void say(const std::string& line)
    {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), line.c_str());
        std::fflush(stderr);
    }
};

namespace {

void on_client(AvahiClient* c, AvahiClientState s, void* data)
{
    static_cast<Advertiser::State*>(data)->client_changed(c, s);
}

void on_group(AvahiEntryGroup* g, AvahiEntryGroupState s, void* data)
{
    static_cast<Advertiser::State*>(data)->group_changed(g, s);
}

// The interface and protocol an address is advertised on: every interface
// for an address any of them answers on, else the one that has it.
std::pair<AvahiIfIndex, AvahiProtocol> where(const QHostAddress& a)
{
    const AvahiProtocol protocol = a == QHostAddress::Any || a == QHostAddress::AnyIPv6
                                       ? AVAHI_PROTO_UNSPEC
                                   : a.protocol() == QAbstractSocket::IPv6Protocol ? AVAHI_PROTO_INET6
                                                                                   : AVAHI_PROTO_INET;
    if (a == QHostAddress::Any || a == QHostAddress::AnyIPv4 || a == QHostAddress::AnyIPv6)
        return {AVAHI_IF_UNSPEC, protocol};
    for (const QNetworkInterface& i : QNetworkInterface::allInterfaces())
        for (const QNetworkAddressEntry& e : i.addressEntries())
            if (e.ip().isEqual(a, QHostAddress::TolerantConversion))
                return {i.index(), protocol};
    return {AVAHI_IF_UNSPEC, protocol};
}

} // namespace

void Advertiser::State::missing(const char* why)
{
    advertised = false;
    if (said_missing)
        return;
    said_missing = true;
    say(std::string("not advertised on the network (") + why +
        "); start avahi-daemon ('systemctl start avahi-daemon'), and the servers are advertised "
        "once it runs");
}

void Advertiser::State::connect_client()
{
    int error = 0;
    // Without a daemon the client waits for one to appear.
    client = avahi_client_new(qt_avahi_poll(), AVAHI_CLIENT_NO_FAIL, on_client, this, &error);
    if (!client) {
        missing(avahi_strerror(error));
        reconnect.start(reconnect_ms);
    }
}

void Advertiser::State::drop_client()
{
    group = nullptr;  // freed with its client
    if (client)
        avahi_client_free(client);
    client = nullptr;
    advertised = false;
}

void Advertiser::State::client_changed(AvahiClient* c, AvahiClientState s)
{
    client = c;
    switch (s) {
    case AVAHI_CLIENT_S_RUNNING:
        publish();
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host's own name is being settled: advertise again after.
        if (group)
            avahi_entry_group_reset(group);
        advertised = false;
        break;
    case AVAHI_CLIENT_CONNECTING:
        missing("no avahi-daemon runs");
        break;
    case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(c) == AVAHI_ERR_DISCONNECTED) {
            // The daemon went (a restart): wait for it again.
            missing("avahi-daemon went away");
            QTimer::singleShot(0, owner, [this] {
                drop_client();
                connect_client();
            });
        } else {
            missing(avahi_strerror(avahi_client_errno(c)));
        }
        break;
    }
}

void Advertiser::State::group_changed(AvahiEntryGroup* g, AvahiEntryGroupState s)
{
    group = g;
    if (s == AVAHI_ENTRY_GROUP_ESTABLISHED) {
        advertised = true;
        if (said_missing) {
            said_missing = false;
            say("advertised on the network as \"" + name + "\"");
        }
    } else if (s == AVAHI_ENTRY_GROUP_COLLISION) {
        char* other = avahi_alternative_service_name(name.c_str());
        say("the name \"" + name + "\" is taken on the network; advertised as \"" + other + "\"");
        name = other;
        avahi_free(other);
        publish();
    } else if (s == AVAHI_ENTRY_GROUP_FAILURE) {
        say(std::string("not advertised on the network (") +
            avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g))) + ")");
    }
}

void Advertiser::State::publish()
{
    if (!client)
        return;
    if (!group) {
        group = avahi_entry_group_new(client, on_group, this);
        if (!group) {
            say(std::string("not advertised on the network (") + avahi_strerror(avahi_client_errno(client)) + ")");
            return;
        }
    }
    avahi_entry_group_reset(group);
    for (const Service& s : services) {
        AvahiStringList* txt = nullptr;
        for (auto it = s.txt.rbegin(); it != s.txt.rend(); ++it)
            txt = avahi_string_list_add(txt, it->c_str());
        const auto [interface, protocol] = where(s.address);
        const int r = avahi_entry_group_add_service_strlst(group, interface, protocol, AvahiPublishFlags(0),
                                                           name.c_str(), s.type.c_str(), nullptr, nullptr,
                                                           s.port, txt);
        avahi_string_list_free(txt);
        if (r == AVAHI_ERR_COLLISION) {
            // Taken locally already (another instance on this host).
            char* other = avahi_alternative_service_name(name.c_str());
            name = other;
            avahi_free(other);
            publish();
            return;
        }
        if (r < 0) {
            say("cannot advertise " + s.type + " (" + avahi_strerror(r) + ")");
            return;
        }
    }
    if (const int r = avahi_entry_group_commit(group); r < 0)
        say(std::string("cannot advertise on the network (") + avahi_strerror(r) + ")");
}

Advertiser::Advertiser(std::string program, std::string name, QObject* parent)
    : QObject(parent), state_(std::make_unique<State>())
{
    state_->owner = this;
    state_->program = std::move(program);
    state_->name = std::move(name);
    state_->reconnect.setSingleShot(true);
    connect(&state_->reconnect, &QTimer::timeout, this, [this] { state_->connect_client(); });
}

Advertiser::~Advertiser()
{
    // The daemon withdraws the records (goodbye packets) as the client goes.
    state_->drop_client();
}

void Advertiser::add(Service service) { state_->services.push_back(std::move(service)); }

void Advertiser::start()
{
    if (!state_->services.empty())
        state_->connect_client();
}

std::string Advertiser::name() const { return state_->name; }
bool Advertiser::advertised() const { return state_->advertised; }

} // namespace korvel::discovery
