#include "app/guarded_run.h"

#include "app/reading_store_link.h"
#include "app/lab_network.h"
#include "app/review.h"
#include "app/scripting.h"
#include "app/service.h"
#include "app/window_loader.h"
#include "app/web_page.h"

#include "guard/crash.h"
#include "guard/guarded_port.h"
#include "guard/make_safe.h"
#include "port/hardware_port.h"
#include "port/parport_proc.h"
#include "port/port_address.h"
#include "port/text.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace korvel {

namespace {

QStringList arguments_of(int argc, char** argv)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    return args;
}

void print(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// --make-safe: the safe state on the chosen port, from this process alone.
int make_safe(const app::Request& request, const app::Program& program, const guard::Reopen& reopen)
{
    if (request.only_if_service_failed &&
        guard::service_ended_cleanly([](const char* v) { return std::getenv(v); }))
        return 0;
    const guard::MakeSafeResult result =
        guard::make_port_safe(reopen, static_cast<int>(request.port.value_or(0x378)), program.name);
    if (result.status == 0)
        print(result.line + "\n");
    else
        write_diagnostic_line(result.line);
    return result.status;
}

// The refusals that need no socket, in one place: after the port is opened
// and before any log file or socket is, so that a refused start has
// announced nothing and listens nowhere. Without a window the panel is of
// use only on a port it drives, so one it cannot claim ends the program
// (and a service manager sees the failure); the web page's files must be
// readable. Any further check that needs no socket (a file the program
// keeps) belongs here too. Its one line, or "" when the program may go on;
// *web gets the page's server, unlistened, when --http is given.
std::string refusal_before_serving(const app::Request& request, const app::Program& program, Port& port,
                                   unsigned base, std::shared_ptr<WebPageSetup>* web)
{
    if (request.no_window) {
        if (const std::string fault = port.fault(static_cast<int>(base)); !fault.empty())
            return std::string(program.name) + ": without a window the panel runs only on a port it can drive, and " +
                   hex_address(static_cast<int>(base)) + " is none (" + fault.substr(0, fault.find("; ")) +
                   "); start it with --port on the board's port";
    }
    if (request.http) {
        std::string error;
        *web = check_web_page(program, request, &error);
        if (!*web)
            return error;
    }
    return {};
}

// The service manager hears that the panel is ready, and the heartbeat
// starts.
void serve(PanelSession& session, const app::Program& program)
{
    const int base = session.panel().base() & 0xFFFF;
    app::notify_ready(std::string(program.name) + " driving the port at " + hex_address(base));
    app::start_heartbeat(session);
}

} // namespace

int run_guarded(int argc, char** argv, const app::Program& program,
                const std::function<std::unique_ptr<Port>()>& open, guard::Reopen reopen,
                const FrontEnds& front_ends, const WindowModule* window)
{
    LinuxSystemCalls sys;
    const HardwarePaths paths;

    // The program's own options, before anything is started.
    const app::Request request = app::read_own_options(arguments_of(argc, argv), program, sys, paths);
    switch (request.action) {
    case app::Request::Action::Help: {
        const QCoreApplication core(argc, argv);
        print(app::help_text(program));
        return 0;
    }
    case app::Request::Action::Version:
        print(app::version_text(program));
        return 0;
    case app::Request::Action::ListPorts:
        for (const auto& line : list_ports(sys, paths))
            print(line + "\n");
        return 0;
    case app::Request::Action::MakeSafe:
        return make_safe(request, program, reopen);
    case app::Request::Action::HashPassword:
        return hash_password_command(program);
    case app::Request::Action::Review:
        return app::run_review(argc, argv, program, request.review, window);
    case app::Request::Action::Fail:
        write_diagnostic_line(request.error);
        return app::usage_status;
    case app::Request::Action::Run:
        break;
    }

    // A window needs a display: without one, say so before anything starts.
    if (!request.no_window) {
        if (const std::string missing = app::missing_display(arguments_of(argc, argv));
            !missing.empty()) {
            write_diagnostic_line(std::string(program.name) + ": cannot open the window: " + missing +
                                  "; to run without a screen, start '" + program.name +
                                  " --no-window --listen 5025' and drive the board remotely");
            return 1;
        }
    }

    PortOffer offer;
    if (program.real_ports)
        for (const auto& p : list_parports(sys, paths.proc + "/sys/dev/parport"))
            offer.kernel_bases.push_back(p.base);
    if (request.port)
        offer.start_base = *request.port;

    // The watchdog next: before any port is opened and before any thread.
    // Should the panel end before it drives a port, the watchdog has
    // nothing to do and ends quietly.
    guard::Registry& registry = guard::shared_registry();
    guard::start_watchdog(registry, std::move(reopen));

    // The application: a plain core one without a window, so that no widget
    // or display library is loaded; the window module's otherwise.
    std::unique_ptr<QCoreApplication> application;
    if (request.no_window) {
        application = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        std::string why;
        if (!window)
            window = app::load_window_module(&why);
        if (!window) {
            write_diagnostic_line(std::string(program.name) + ": cannot load the window (" + why +
                                  "); reinstall " + program.name + ", or run it with --no-window");
            return 1;
        }
        application = window->make_application(argc, argv, program.name);
    }
    // Qt has taken its own options out; what is left must be ours.
    if (const std::string error = app::check_remaining(QCoreApplication::arguments(), program);
        !error.empty()) {
        write_diagnostic_line(error);
        return app::usage_status;
    }
    // The reading store first: one that cannot be used ends a panel without
    // a window before any port or socket is opened.
    std::unique_ptr<store::ReadingStore> reading_store;
    if (!app::open_reading_store(program, request, &reading_store))
        return 1;
    // The port: opening it claims at most (the kernel's own idle control
    // byte); the panel writes its safe state only once it runs.
    std::unique_ptr<Port> device = open();
    guard::GuardedPort port(*device, registry);
    guard::LastWords last_words(port);
    std::shared_ptr<WebPageSetup> web_setup;
    if (const std::string refusal = refusal_before_serving(request, program, port, offer.start_base, &web_setup);
        !refusal.empty()) {
        write_diagnostic_line(refusal);
        return 1;
    }
    // The reading log and the remote interface, then VXI-11 and the web
    // page: a file that cannot be written or a TCP port taken ends the
    // program with the board untouched. What they serve is announced once
    // the panel runs.
    FrontEnds scripting;
    std::optional<ListenAddress> listening;
    std::function<int()> remote_clients;
    if (request.listen || request.record) {
        std::string error;
        listening.emplace();
        auto prepared = prepare_scripting(program.name, request.listen, request.record, &error, &*listening,
                                          &remote_clients);
        if (!request.listen)
            listening.reset();
        if (!prepared) {
            write_diagnostic_line(error);
            return 1;
        }
        scripting = std::move(*prepared);
    }
    // The VXI-11 channels.
    FrontEnds vxi11;
    LabServers lab;
    lab.scpi = listening;
    if (request.vxi11) {
        std::string error;
        lab.vxi11.emplace();
        auto prepared = prepare_vxi11(program.name, *request.vxi11, request.record == "-", &error, &*lab.vxi11);
        if (!prepared) {
            write_diagnostic_line(error);
            return 1;
        }
        vxi11 = std::move(*prepared);
    }
    // The web page.
    FrontEnds web_page;
    if (web_setup) {
        std::string error;
        lab.http.emplace();
        auto prepared = serve_web_page(web_setup, program, request, listening, &error, remote_clients, lab.vxi11,
                                       &*lab.http);
        if (!prepared) {
            write_diagnostic_line(error);
            return 1;
        }
        web_page = std::move(*prepared);
    }
    // The servers on the network are advertised over mDNS.
    const FrontEnds advertised =
        request.no_mdns ? FrontEnds() : prepare_discovery(program.name, port_label(program, request, sys, paths), lab);

    const FrontEnds all_front_ends = [&](PanelSession& session) {
        if (reading_store)
            app::attach_reading_store(session, *reading_store);
        if (front_ends)
            front_ends(session);
        if (scripting)
            scripting(session);
        if (web_page)
            web_page(session);
        if (vxi11)
            vxi11(session);
        serve(session, program);
        if (request.trend && session.set_trend_open)
            session.set_trend_open(true);
        if (request.sweep && session.set_sweep_window_open)
            session.set_sweep_window_open(true);
    };
    const int status = request.no_window ? run_without_window(port, offer, all_front_ends)
                                         : window->run(port, offer, all_front_ends);
    app::notify_stopping();
    // The panel's Exit left its current port safe; any other port it drove
    // gets the safe state now, and the watchdog learns that all is done.
    port.finish();
    return status;
}

} // namespace korvel
