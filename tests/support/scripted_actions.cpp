#include "support/scripted_actions.h"

#include <QTimer>

#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvel::ui {

namespace {

// A store through a null pointer that reaches the memory system: checks
// for undefined behaviour would otherwise end the program first, their own
// way, in sanitizer builds.
__attribute__((no_sanitize("undefined"))) void real_fault()
{
    *static_cast<volatile int*>(nullptr) = 1;
}

// The control with this role, or nullptr.
Control* by_role(Controls& controls, std::string_view role)
{
#define KORVEL_ROLE(name)                                                                  \
    if (role == #name)                                                                     \
        return &controls[ControlId::name];
    KORVEL_CONTROLS(KORVEL_ROLE)
#undef KORVEL_ROLE
    return nullptr;
}

struct Player {
    Panel& panel;
    QWidget& window;
    std::vector<std::string> steps;
    std::size_t next = 0;

    void step(const std::shared_ptr<Player>& self)
    {
        if (next >= steps.size() || panel.ended())
            return;
        std::istringstream in(steps[next++]);
        std::string verb, name, arg;
        in >> verb >> name;
        std::getline(in >> std::ws, arg);
        int delay = 0;
        Control* c = by_role(panel.controls(), name);
        if (verb == "click" && c) {
            c->fire();
        } else if (verb == "set" && c) {
            c->set_value(std::stoi(arg));
        } else if (verb == "select" && c) {
            c->select(arg);
        } else if (verb == "wait") {
            delay = std::stoi(name);
        } else if (verb == "close") {
            window.close();
        } else if (verb == "throw") {
            throw std::runtime_error("scripted failure");
        } else if (verb == "segv") {
            real_fault();
        } else if (!verb.empty()) {
            std::fprintf(stderr, "korvel: test actions: cannot do '%s %s'; skipped\n",
                         verb.c_str(), name.c_str());
        }
        QTimer::singleShot(delay, &window, [self] { self->step(self); });
    }
};

} // namespace

void play_actions(Panel& panel, QWidget& window, std::string_view script)
{
    auto player = std::make_shared<Player>(Player{panel, window, {}});
    std::string s(script);
    std::istringstream in(s);
    for (std::string step; std::getline(in, step, ';');)
        player->steps.push_back(step);
    QTimer::singleShot(0, &window, [player] { player->step(player); });
}

} // namespace korvel::ui
