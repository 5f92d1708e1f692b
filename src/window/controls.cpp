#include "window/controls.hpp"

#include <algorithm>

#include "core/errors.hpp"

namespace quillon::ui {

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::Menu: return "menu";
    case Kind::Label: return "label";
    case Kind::TextBox: return "text";
    case Kind::Lamp: return "lamp";
    case Kind::ComboBox: return "combo";
    case Kind::ListBox: return "list";
    case Kind::CheckBox: return "check";
    case Kind::OptionButton: return "option";
    case Kind::CommandButton: return "button";
    case Kind::Frame: return "frame";
    case Kind::TabControl: return "tabs";
    case Kind::Timer: return "timer";
    case Kind::Component: return "component";
  }
  return "control";
}

Control::Control(Window& w, Kind kind, std::string name, int index)
    : window_(w), kind_(kind), name_(std::move(name)), index_(index) {}

std::string Control::id() const {
  return index_ < 0 ? name_ : name_ + "(" + std::to_string(index_) + ")";
}

void Control::notify(std::string_view property) { window_.notify(*this, property); }

void Control::set_enabled(bool e) {
  if (enabled_ == e) return;
  enabled_ = e;
  notify("enabled");
}

void Control::set_visible(bool v) {
  if (visible_ == v) return;
  visible_ = v;
  notify("visible");
}

void Control::set_caption(std::string c) {
  if (caption_ == c) return;
  caption_ = std::move(c);
  notify("caption");
}

void Control::set_geometry(const Geometry& g) {
  if (geometry_ == g) return;
  geometry_ = g;
  notify("geometry");
}

void TextBox::set_text(std::string t) {
  if (text_ == t) return;
  text_ = std::move(t);
  notify("text");
  if (on_change) on_change();
}

void Lamp::set_fill_color(int c) {
  if (color_ == c) return;
  color_ = c;
  notify("color");
}

void ComboBox::add_item(std::string item) {
  items_.push_back(std::move(item));
  notify("items");
}

void ComboBox::clear() {
  items_.clear();
  index_sel_ = -1;
  notify("items");
}

void ComboBox::set_list_index(int i) {
  if (i < -1 || i >= list_count()) throw Error(errc::invalid_property_value, "Invalid property value");
  if (i == index_sel_) return;
  index_sel_ = i;
  notify("selection");
  if (on_click) on_click();
}

std::string ComboBox::text() const {
  return index_sel_ >= 0 && index_sel_ < list_count() ? items_[static_cast<std::size_t>(index_sel_)] : std::string{};
}

void ListBox::add_item(std::string item) {
  if (items_.size() >= kMaxItems) items_.pop_front();
  items_.push_back(std::move(item));
  notify("items");
}

void ListBox::clear() {
  if (items_.empty()) return;
  items_.clear();
  notify("items");
}

void CheckBox::set_value(int v) {
  if (v < 0 || v > 2) throw Error(errc::invalid_property_value, "Invalid property value");
  if (v == value_) return;
  value_ = v;
  notify("value");
  if (on_click) on_click();
}

void OptionButton::set_value(bool v) {
  if (v == value_) return;
  value_ = v;
  notify("value");
  if (v) {
    for (Control* c : window_.array(name())) {
      if (c == this) continue;
      auto* o = static_cast<OptionButton*>(c);
      if (o->value_) {
        o->value_ = false;
        window_.notify(*o, "value");
      }
    }
    if (on_click) on_click();
  }
}

Task CommandButton::click() {
  if (on_click) return on_click();
  return completed_task();
}

void TabControl::set_tab(int t) {
  if (t < 0 || t >= static_cast<int>(tabs_.size())) throw Error(errc::invalid_property_value, "Invalid property value");
  if (t == tab_) return;
  tab_ = t;
  notify("tab");
}

// --- Timer ---------------------------------------------------------------------------------

Timer::Timer(Window& w, std::string name, int index, int interval_ms, bool enabled)
    : Control(w, Kind::Timer, std::move(name), index), interval_(interval_ms) {
  if (enabled) set_timer_enabled(true);
}

Timer::~Timer() {
  *alive_ = false;
  unschedule();
}

void Timer::set_interval(int ms) {
  if (ms < 0) throw Error(errc::invalid_property_value, "Invalid property value");
  if (ms == interval_) return;
  interval_ = ms;
  notify("interval");
  // A running timer counts the new interval from now, as a window timer does: the turn set up
  // with the old period is dropped. An interval of 0 keeps the timer from ticking.
  if (!timer_enabled_) return;
  unschedule();
  if (interval_ > 0) schedule(window_.loop().now() + Millis(interval_));
}

void Timer::set_timer_enabled(bool e) {
  if (e == timer_enabled_) return;
  timer_enabled_ = e;
  notify("timer");
  if (e) {
    if (interval_ > 0 && !pending_) schedule(window_.loop().now() + Millis(interval_));
  } else {
    unschedule();
  }
}

void Timer::on_tick(std::function<void()> fn) {
  handler_ = [fn = std::move(fn)]() -> Task {
    fn();
    return completed_task();
  };
}

void Timer::on_tick_async(std::function<Task()> fn) { handler_ = std::move(fn); }

void Timer::schedule(TimePoint due) {
  due_ = due;
  pending_ = window_.loop().call_at(due, [this, alive = std::weak_ptr<bool>(alive_)] {
    auto a = alive.lock();
    if (!a || !*a) return;
    pending_.reset();
    fire();
  });
}

void Timer::unschedule() {
  if (pending_) window_.loop().cancel(*pending_);
  pending_.reset();
}

void Timer::fire() {
  const TimePoint due = due_;
  auto reschedule = [this, due] {
    if (!timer_enabled_ || pending_ || interval_ <= 0) return;
    const TimePoint now = window_.loop().now();
    TimePoint next = due + Millis(interval_);
    if (next <= now) next = now + Millis(interval_);  // fell behind: skip, never burst
    schedule(next);
  };
  if (running_) {
    ++skipped_;
    reschedule();
    return;
  }
  if (!handler_) {
    reschedule();
    return;
  }
  running_ = true;
  // Schedule the next turn before running: a tick that waits keeps its period, and its turns
  // that come due meanwhile are skipped.
  reschedule();
  Task t = handler_();
  t.start_detached([this, alive = std::weak_ptr<bool>(alive_)] {
    auto a = alive.lock();
    if (!a || !*a) return;
    running_ = false;
  });
}

// --- Window ---------------------------------------------------------------------------------

Window::Window(EventLoop& loop, std::string name) : loop_(loop), name_(std::move(name)) {}

void Window::add(std::unique_ptr<Control> c) {
  by_id_[{c->name(), c->index()}] = c.get();
  order_.push_back(c.get());
  owned_.push_back(std::move(c));
}

Control* Window::find(std::string_view name, int index) const {
  auto it = by_id_.find(std::pair<std::string, int>{std::string(name), index});
  return it == by_id_.end() ? nullptr : it->second;
}

std::vector<Control*> Window::array(std::string_view name) const {
  std::vector<Control*> out;
  for (auto it = by_id_.lower_bound(std::pair<std::string, int>{std::string(name), -1});
       it != by_id_.end() && it->first.first == name; ++it)
    out.push_back(it->second);
  return out;
}

int Window::add_observer(Observer o) {
  int id = next_observer_++;
  observers_.emplace(id, std::move(o));
  return id;
}

void Window::remove_observer(int id) { observers_.erase(id); }

int Window::add_message_observer(MessageObserver o) {
  int id = next_observer_++;
  message_observers_.emplace(id, std::move(o));
  return id;
}

void Window::remove_message_observer(int id) { message_observers_.erase(id); }

void Window::notify(const Control& c, std::string_view property) {
  for (auto& [id, o] : observers_) o(c, property);
}

Window::MessageAwaiter Window::msgbox(std::string text) {
  std::uint64_t id = next_message_++;
  messages_.push_back(MessageBox{id, std::move(text)});
  if (on_message) on_message(messages_.back(), true);
  for (auto& [oid, o] : message_observers_) o(messages_.back(), true);
  return MessageAwaiter{*this, id};
}

bool Window::MessageAwaiter::await_ready() const noexcept {
  return std::none_of(w.messages_.begin(), w.messages_.end(), [this](const MessageBox& m) { return m.id == id; });
}

void Window::MessageAwaiter::await_suspend(std::coroutine_handle<> h) { w.waiting_[id] = h; }

bool Window::acknowledge(std::uint64_t id) {
  auto it = std::find_if(messages_.begin(), messages_.end(), [id](const MessageBox& m) { return m.id == id; });
  if (it == messages_.end()) return false;
  MessageBox box = *it;
  messages_.erase(it);
  if (on_message) on_message(box, false);
  for (auto& [oid, o] : message_observers_) o(box, false);
  auto w = waiting_.find(id);
  if (w != waiting_.end()) {
    auto h = w->second;
    waiting_.erase(w);
    // The action goes on as an event of its own, not inside the acknowledging request.
    loop_.post([h] { h.resume(); });
  }
  return true;
}

}  // namespace quillon::ui
