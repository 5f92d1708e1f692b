#include "console/console_view.hpp"

#include <limits>

namespace quillon::console {
namespace {

Reply fail(int status, std::string message) { return Reply{status, json{{"error", std::move(message)}}}; }

json geometry_json(const ui::Geometry& g) {
  return json{{"left", g.left}, {"top", g.top}, {"width", g.width}, {"height", g.height}};
}

// A control's own switch and the frames it sits in: a disabled frame disables its contents.
bool operable(const ui::Window& w, const ui::Control& c) {
  const ui::Control* cur = &c;
  for (int depth = 0; cur && depth < 16; ++depth) {
    if (!cur->enabled()) return false;
    if (!cur->visible()) return false;
    std::string_view box = cur->container();
    if (box.empty()) break;
    box = box.substr(0, box.find(':'));  // a tab page: its tab control
    const auto open = box.find('(');
    if (open == std::string::npos) {
      cur = w.find(box);
    } else {
      int idx = 0;
      for (std::size_t i = open + 1; i < box.size() && box[i] >= '0' && box[i] <= '9' && idx < 100000; ++i) idx = idx * 10 + (box[i] - '0');
      cur = w.find(box.substr(0, open), idx);
    }
  }
  return true;
}

// An integer member of the request, or nothing when absent; false when present but not an int.
bool int_member(const json& j, const char* key, std::optional<long long>& out) {
  auto it = j.find(key);
  if (it == j.end()) return true;
  if (!it->is_number_integer()) return false;
  out = it->get<long long>();
  return true;
}

}  // namespace

json control_json(const ui::Control& c) {
  json j{{"id", c.id()},
         {"name", c.name()},
         {"index", c.index() < 0 ? json(nullptr) : json(c.index())},
         {"kind", ui::kind_name(c.kind())},
         {"enabled", c.enabled()},
         {"caption", c.caption()}};
  if (!c.container().empty()) j["container"] = c.container();
  if (!c.label().empty()) j["label"] = c.label();
  if (c.channel() != 0) j["channel"] = c.channel();
  if (!c.visible()) j["visible"] = false;
  if (!c.tooltip().empty()) j["tooltip"] = c.tooltip();
  if (c.geometry() != ui::Geometry{}) j["geometry"] = geometry_json(c.geometry());

  if (auto* t = dynamic_cast<const ui::TextBox*>(&c)) {
    j["text"] = t->text();
  } else if (auto* l = dynamic_cast<const ui::Lamp*>(&c)) {
    j["color"] = l->fill_color() ? json(*l->fill_color()) : json(nullptr);
  } else if (auto* cb = dynamic_cast<const ui::ComboBox*>(&c)) {
    j["items"] = cb->items();
    j["selection"] = cb->list_index();
    j["text"] = cb->text();
  } else if (auto* lb = dynamic_cast<const ui::ListBox*>(&c)) {
    j["items"] = json::array();
    for (const auto& item : lb->items()) j["items"].push_back(item);
  } else if (auto* ck = dynamic_cast<const ui::CheckBox*>(&c)) {
    j["value"] = ck->value();
  } else if (auto* op = dynamic_cast<const ui::OptionButton*>(&c)) {
    j["value"] = op->value();
  } else if (auto* tc = dynamic_cast<const ui::TabControl*>(&c)) {
    j["tabs"] = tc->tabs();
    j["tab"] = tc->tab();
  } else if (auto* tm = dynamic_cast<const ui::Timer*>(&c)) {
    j["interval"] = tm->interval();
    j["timer_enabled"] = tm->timer_enabled();
    j["running"] = tm->running();
    j["skipped"] = tm->skipped();
  }
  return j;
}

json window_json(const ui::Window& w) {
  json controls = json::array();
  for (const ui::Control* c : w.controls()) controls.push_back(control_json(*c));
  json messages = json::array();
  for (const auto& m : w.pending_messages()) messages.push_back(json{{"id", m.id}, {"text", m.text}});
  return json{{"name", w.name()}, {"caption", w.caption()}, {"controls", std::move(controls)}, {"messages", std::move(messages)}};
}

json change_json(const ui::Control& c, std::string_view property) {
  return json{{"type", "change"}, {"property", property}, {"control", control_json(c)}};
}

json message_json(const ui::MessageBox& m, bool shown) {
  return json{{"type", shown ? "message_shown" : "message_acknowledged"}, {"message", {{"id", m.id}, {"text", m.text}}}};
}

json stopped_json() { return json{{"type", "stopped"}, {"text", "server stopped"}}; }

std::string to_text(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

Reply run_action(ui::Window& w, std::string_view body) {
  const json req = json::parse(body, nullptr, false);
  if (req.is_discarded()) return fail(400, "the body is not valid JSON");
  if (!req.is_object()) return fail(400, "the body must be a JSON object");
  auto action_it = req.find("action");
  if (action_it == req.end() || !action_it->is_string()) return fail(400, "\"action\" (a string) is missing");
  const std::string action = action_it->get<std::string>();

  if (action == "acknowledge") {
    auto id = req.find("id");
    if (id == req.end() || !id->is_number_unsigned()) return fail(400, "\"id\" (the message box number) is missing");
    if (!w.acknowledge(id->get<std::uint64_t>())) return fail(404, "no pending message box " + std::to_string(id->get<std::uint64_t>()));
    return Reply{200, json{{"ok", true}}};
  }
  if (action != "click" && action != "set_text" && action != "select" && action != "set_value")
    return fail(400, "unknown action \"" + action + "\" (click, set_text, select, set_value, acknowledge)");

  auto name_it = req.find("control");
  if (name_it == req.end() || !name_it->is_string()) return fail(400, "\"control\" (a control name) is missing");
  const std::string name = name_it->get<std::string>();
  std::optional<long long> index;
  if (!int_member(req, "index", index)) return fail(400, "\"index\" must be an integer");
  if (index && (*index < 0 || *index > std::numeric_limits<int>::max())) return fail(404, "no control " + name + "(" + std::to_string(*index) + ")");

  ui::Control* c = w.find(name, index ? static_cast<int>(*index) : -1);
  if (!c) {
    if (w.array(name).empty()) return fail(404, "no control named " + name);
    if (w.find(name)) return fail(404, name + " is not a control array: leave out \"index\"");
    if (!index) return fail(400, name + " is a control array: give \"index\"");
    return fail(404, "no control " + name + "(" + std::to_string(*index) + ")");
  }
  if (!operable(w, *c)) return fail(409, c->id() + " is disabled");

  auto wrong_kind = [&] { return fail(400, "cannot " + action + " " + c->id() + ", a " + ui::kind_name(c->kind())); };

  try {
    if (action == "click") {
      auto* b = dynamic_cast<ui::CommandButton*>(c);
      if (!b) return wrong_kind();
      b->click().start_detached();
    } else if (action == "set_text") {
      auto* t = dynamic_cast<ui::TextBox*>(c);
      if (!t) return wrong_kind();
      auto text = req.find("text");
      if (text == req.end() || !text->is_string()) return fail(400, "\"text\" (a string) is missing");
      t->set_text(text->get<std::string>());
    } else if (action == "select") {
      std::optional<long long> pos;
      if (!int_member(req, "position", pos) || !pos) return fail(400, "\"position\" (an integer) is missing");
      if (auto* cb = dynamic_cast<ui::ComboBox*>(c)) {
        if (*pos < 0 || *pos >= cb->list_count())
          return fail(400, c->id() + " has no position " + std::to_string(*pos) + " (it has " + std::to_string(cb->list_count()) + " entries)");
        cb->set_list_index(static_cast<int>(*pos));
      } else if (auto* tc = dynamic_cast<ui::TabControl*>(c)) {
        if (*pos < 0 || *pos >= static_cast<long long>(tc->tabs().size()))
          return fail(400, c->id() + " has no tab " + std::to_string(*pos));
        tc->set_tab(static_cast<int>(*pos));
      } else {
        return wrong_kind();
      }
    } else {  // set_value
      auto v = req.find("value");
      if (v == req.end() || !(v->is_boolean() || v->is_number_integer())) return fail(400, "\"value\" (0, 1, true or false) is missing");
      const long long value = v->is_boolean() ? (v->get<bool>() ? 1 : 0) : v->get<long long>();
      if (value != 0 && value != 1) return fail(400, "\"value\" must be 0 or 1");
      if (auto* ck = dynamic_cast<ui::CheckBox*>(c)) {
        ck->set_value(static_cast<int>(value));
      } else if (auto* op = dynamic_cast<ui::OptionButton*>(c)) {
        if (value == 0) return fail(400, "an option is cleared by choosing another one");
        op->set_value(true);
      } else {
        return wrong_kind();
      }
    }
  } catch (const std::exception& e) {
    // The handler failed part way, as a runtime error would stop it in a window.
    return Reply{500, json{{"error", std::string("the action failed: ") + e.what()}, {"control", control_json(*c)}}};
  }
  return Reply{200, json{{"ok", true}, {"control", control_json(*c)}}};
}

}  // namespace quillon::console
