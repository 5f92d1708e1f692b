#include "console/console_changes.hpp"

#include <algorithm>

#include "console/console_view.hpp"

namespace quillon::console {

ChangeFeed::ChangeFeed(EventLoop& loop, ui::Window& window, Millis interval, Listening listening, Sink sink)
    : loop_(loop), window_(&window), interval_(interval), listening_(std::move(listening)), sink_(std::move(sink)) {
  observer_ = window.add_observer([this](const ui::Control& c, std::string_view property) { changed(c, property); });
  message_observer_ = window.add_message_observer([this](const ui::MessageBox& m, bool shown) { message(m, shown); });
}

ChangeFeed::~ChangeFeed() { close(); }

void ChangeFeed::close() {
  if (!window_) return;
  window_->remove_observer(observer_);
  window_->remove_message_observer(message_observer_);
  window_ = nullptr;
  forget();
}

void ChangeFeed::forget() {
  if (due_) loop_.cancel(*due_);
  due_.reset();
  order_.clear();
  pending_.clear();
  sent_.clear();
}

void ChangeFeed::changed(const ui::Control& c, std::string_view property) {
  if (!listening_()) {
    // Nobody sees this change, so what was last sent no longer tells what a page has.
    if (!sent_.empty() || !pending_.empty()) forget();
    return;
  }
  ++counters_.changes;
  auto [it, fresh] = pending_.try_emplace(&c);
  if (fresh) order_.push_back(&c);
  auto& props = it->second.properties;
  if (std::find(props.begin(), props.end(), property) == props.end()) props.emplace_back(property);
  if (!due_) due_ = loop_.call_after(interval_, [this] {
    due_.reset();
    flush();
  });
}

void ChangeFeed::message(const ui::MessageBox& m, bool shown) {
  if (!listening_()) return;
  flush();
  sink_(std::make_shared<const std::string>(to_text(message_json(m, shown))), nullptr);
}

void ChangeFeed::flush() {
  if (due_) loop_.cancel(*due_);
  due_.reset();
  const auto order = std::move(order_);
  auto pending = std::move(pending_);
  order_.clear();
  pending_.clear();
  for (const ui::Control* c : order) {
    // A sink may drop the last page (too slow a reader): then nothing more goes out.
    if (!window_ || !listening_()) return;
    std::string state = to_text(control_json(*c));
    std::string& last = sent_[c];
    if (state == last) {
      ++counters_.unchanged;
      continue;
    }
    const auto& props = pending[c].properties;
    // The same text as change_json() gives, built around the state already serialised.
    std::string event = "{\"control\":" + state + ",\"property\":" + to_text(json(props.back()));
    if (props.size() > 1) event += ",\"properties\":" + to_text(json(props));
    event += ",\"type\":\"change\"}";
    last = std::move(state);
    ++counters_.sent;
    sink_(std::make_shared<const std::string>(std::move(event)), c);
  }
}

}  // namespace quillon::console
