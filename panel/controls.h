// A plain model of the window's controls: what each shows (text, colour,
// visibility, enabled state, value, selection) and the handler its event
// runs. No toolkit here: the window binds to this model, and tests drive it
// directly.
//
// Program-made changes keep the event semantics the panel relies on:
//  - setting a spin control's value raises its change event only when the
//    value really changes;
//  - selecting a list item from the program runs the list's click handler,
//    as a user's choice does;
//  - once the program has ended, no handler runs any more.
#pragma once

#include "panel/design.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// What changed on a control, for whoever mirrors the model on screen.
enum class Property { Text, Colour, Visible, Enabled, Value, Selection, Focus };

class Controls;

class Control {
public:
    Control(Controls& owner, ControlId id);
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    ControlId id() const { return id_; }
    const Design& design() const;
    std::string_view name() const { return design().name; }
    Kind kind() const { return design().kind; }

    // Caption of frames, labels and buttons; text of text boxes; the current
    // item's text of a drop-down list (empty while none is selected).
    const std::string& text() const;
    void set_text(std::string text);

    // Fill colour of a lamp (0xRRGGBB).
    std::uint32_t colour() const { return colour_; }
    void set_colour(std::uint32_t rgb);

    bool visible() const { return visible_; }
    void set_visible(bool visible);

    // Timers: "enabled" is "running".
    bool enabled() const { return enabled_; }
    void set_enabled(bool enabled);

    // Spin controls. set_value clamps into the range and raises the change
    // event when the value changed. step_up/step_down are the user's arrow
    // and page steps; they do nothing while the control is disabled.
    int value() const { return value_; }
    void set_value(int value);
    // Spin controls: asked before each change of value, whoever makes it;
    // false leaves the value as it is, with no event (the panel's set-point
    // hold, see Panel::hold_setpoint).
    std::function<bool()> may_change;
    void step_up();
    void step_down();

    // Drop-down lists: the items, the design's first. Items are added only
    // before the window is built from the model.
    const std::vector<std::string>& items() const { return items_; }
    void add_item(std::string item) { items_.push_back(std::move(item)); }

    // Drop-down lists: select the item (index into items(), or its text);
    // runs the click handler. A user's choice comes in the same way.
    int selected() const { return selected_; }
    void select(int index);
    void select(std::string_view item);

    // The control's event: click (buttons, lists), change (spin controls),
    // tick (timers).
    std::function<void()> handler;
    // Runs the handler, unless the program has ended or a button is
    // disabled.
    void fire();

private:
    void changed(Property p);

    Controls& owner_;
    ControlId id_;
    std::string text_;
    std::uint32_t colour_ = 0;
    bool visible_ = true;
    bool enabled_ = true;
    int value_ = 0;
    std::vector<std::string> items_;
    int selected_ = -1;
};

class Controls {
    // Declared first: the named references below are bound to it.
    std::array<std::unique_ptr<Control>, control_count> all_;

public:
    Controls();
    Controls(const Controls&) = delete;
    Controls& operator=(const Controls&) = delete;

    Control& operator[](ControlId id) { return *all_[static_cast<std::size_t>(id)]; }
    const Control& operator[](ControlId id) const { return *all_[static_cast<std::size_t>(id)]; }
    // Looks a control up by its name; nullptr when there is none.
    Control* find(std::string_view name);

    // Observers learn of every change, in the order made.
    using Observer = std::function<void(Control&, Property)>;
    // observe() gives a key for forget().
    int observe(Observer observer);
    void forget(int key);

    // Asks for the keyboard focus on a control.
    void set_focus(ControlId id);

    // After the program has ended no handler runs.
    bool ended() const { return ended_; }
    void mark_ended() { ended_ = true; }

    // Every control, in the design table's order.
    auto begin() { return all_.begin(); }
    auto end() { return all_.end(); }

#define KORVEL_CONTROL_REF(name) Control& name;
    KORVEL_CONTROLS(KORVEL_CONTROL_REF)
#undef KORVEL_CONTROL_REF

private:
    friend class Control;
    void notify(Control& c, Property p);

    std::vector<std::pair<int, Observer>> observers_;
    int next_key_ = 0;
    bool ended_ = false;
};

} // namespace korvel
