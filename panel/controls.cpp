#include "panel/controls.h"

#include <algorithm>

namespace korvel {

namespace {

// The '|'-separated items of a drop-down list's design text.
std::vector<std::string> items_of(std::string_view text)
{
    std::vector<std::string> items;
    if (text.empty())
        return items;
    for (;;) {
        const auto bar = text.find('|');
        items.emplace_back(text.substr(0, bar));
        if (bar == std::string_view::npos)
            return items;
        text.remove_prefix(bar + 1);
    }
}

} // namespace

Control::Control(Controls& owner, ControlId id) : owner_(owner), id_(id)
{
    const Design& d = design();
    if (d.kind != Kind::Combo)
        text_ = std::string(d.text);
    else
        items_ = items_of(d.text);
    if (d.kind == Kind::Lamp)
        colour_ = d.back.rgb;
    visible_ = d.visible;
    enabled_ = d.enabled;
}

const Design& Control::design() const { return design_of(id_); }

const std::string& Control::text() const { return text_; }

void Control::set_text(std::string text)
{
    if (text == text_)
        return;
    text_ = std::move(text);
    changed(Property::Text);
}

void Control::set_colour(std::uint32_t rgb)
{
    if (rgb == colour_)
        return;
    colour_ = rgb;
    changed(Property::Colour);
}

void Control::set_visible(bool visible)
{
    if (visible == visible_)
        return;
    visible_ = visible;
    changed(Property::Visible);
}

void Control::set_enabled(bool enabled)
{
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    changed(Property::Enabled);
}

void Control::set_value(int value)
{
    value = std::clamp(value, design().min, design().max);
    if (value == value_)
        return;
    if (may_change && !may_change())
        return;
    value_ = value;
    changed(Property::Value);
    fire();
}

void Control::step_up()
{
    if (enabled_)
        set_value(value_ + design().step);
}

void Control::step_down()
{
    if (enabled_)
        set_value(value_ - design().step);
}

void Control::select(int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size())
        return;
    selected_ = index;
    if (items_[static_cast<std::size_t>(index)] != text_) {
        text_ = items_[static_cast<std::size_t>(index)];
        changed(Property::Selection);
    }
    fire();
}

void Control::select(std::string_view item)
{
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (items_[i] == item) {
            select(static_cast<int>(i));
            return;
        }
    }
}

void Control::fire()
{
    if (owner_.ended() || !handler)
        return;
    if (kind() == Kind::Button && !enabled_)
        return;
    handler();
}

void Control::changed(Property p) { owner_.notify(*this, p); }

Controls::Controls()
    : all_([this] {
          std::array<std::unique_ptr<Control>, control_count> a;
          for (std::size_t i = 0; i < control_count; ++i)
              a[i] = std::make_unique<Control>(*this, static_cast<ControlId>(i));
          return a;
      }())
#define KORVEL_CONTROL_INIT(name) , name(*all_[static_cast<std::size_t>(ControlId::name)])
          KORVEL_CONTROLS(KORVEL_CONTROL_INIT)
#undef KORVEL_CONTROL_INIT
{
}

Control* Controls::find(std::string_view name)
{
    for (auto& c : all_)
        if (c->name() == name)
            return c.get();
    return nullptr;
}

void Controls::set_focus(ControlId id) { notify((*this)[id], Property::Focus); }

int Controls::observe(Observer observer)
{
    observers_.emplace_back(next_key_, std::move(observer));
    return next_key_++;
}

void Controls::forget(int key)
{
    std::erase_if(observers_, [key](const auto& o) { return o.first == key; });
}

void Controls::notify(Control& c, Property p)
{
    for (auto& o : observers_)
        o.second(c, p);
}

} // namespace korvel
