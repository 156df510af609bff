#include "app/guarded_run.h"

#include "app/scripting.h"
#include "app/web_page.h"

#include "guard/crash.h"
#include "guard/guarded_port.h"
#include "port/hardware_port.h"
#include "port/parport_proc.h"
#include "port/port_address.h"
#include "port/text.h"

#include <QApplication>

#include <cstdio>

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

} // namespace

int run_guarded(int argc, char** argv, const app::Program& program,
                const std::function<std::unique_ptr<Port>()>& open, guard::Reopen reopen,
                const FrontEnds& front_ends)
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
        print(app::version_line(program) + "\n");
        return 0;
    case app::Request::Action::ListPorts:
        for (const auto& line : list_ports(sys, paths))
            print(line + "\n");
        return 0;
    case app::Request::Action::HashPassword:
        return hash_password_command(program);
    case app::Request::Action::Fail:
        write_diagnostic_line(request.error);
        return app::usage_status;
    case app::Request::Action::Run:
        break;
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

    QApplication application(argc, argv);
    // Qt has taken its own options out; what is left must be ours.
    if (const std::string error = app::check_remaining(QCoreApplication::arguments(), program);
        !error.empty()) {
        write_diagnostic_line(error);
        return app::usage_status;
    }
    // The reading log and the remote interface, before any port is opened:
    // a file that cannot be written or a TCP port taken ends the program
    // with the board untouched.
    FrontEnds scripting;
    std::optional<ListenAddress> listening;
    if (request.listen || request.record) {
        std::string error;
        listening.emplace();
        auto prepared = prepare_scripting(program.name, request.listen, request.record, &error, &*listening);
        if (!request.listen)
            listening.reset();
        if (!prepared) {
            write_diagnostic_line(error);
            return 1;
        }
        scripting = std::move(*prepared);
    }
    // The web page, likewise before any port is opened.
    FrontEnds web_page;
    if (request.http) {
        std::string error;
        auto prepared = prepare_web_page(program, request, listening, &error);
        if (!prepared) {
            write_diagnostic_line(error);
            return 1;
        }
        web_page = std::move(*prepared);
    }
    const FrontEnds all_front_ends = [&](PanelSession& session) {
        if (front_ends)
            front_ends(session);
        if (scripting)
            scripting(session);
        if (web_page)
            web_page(session);
    };

    std::unique_ptr<Port> device = open();
    guard::GuardedPort port(*device, registry);
    guard::LastWords last_words(port);
    const int status = run_panel(port, offer, all_front_ends);
    // The panel's Exit left its current port safe; any other port it drove
    // gets the safe state now, and the watchdog learns that all is done.
    port.finish();
    return status;
}

} // namespace korvel
