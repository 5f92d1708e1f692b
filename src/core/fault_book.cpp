#include "core/fault_book.hpp"

namespace quillon {

FaultBook::Entry& FaultBook::entry(const std::string& kind, int channel) {
  for (Entry& e : entries_)
    if (e.kind == kind && e.channel == channel) return e;
  entries_.push_back(Entry{kind, channel, "", false, 0});
  return entries_.back();
}

void FaultBook::fault(const std::string& kind, int channel, const std::string& text) {
  Entry copy;
  {
    std::lock_guard lock(mu_);
    Entry& e = entry(kind, channel);
    if (e.active) return;
    e.active = true;
    e.text = text;
    ++e.starts;
    copy = e;
  }
  if (say_) say_(true, text);
  changed(copy);
}

void FaultBook::clear(const std::string& kind, int channel, const std::string& ended) {
  Entry copy;
  {
    std::lock_guard lock(mu_);
    Entry& e = entry(kind, channel);
    if (!e.active) return;
    e.active = false;
    e.text.clear();
    copy = e;
  }
  if (say_) say_(false, ended);
  changed(copy);
}

void FaultBook::set_on_change(std::function<void(const Entry&)> on_change) {
  std::lock_guard lock(hook_mu_);
  on_change_ = std::move(on_change);
}

void FaultBook::changed(const Entry& e) {
  std::lock_guard lock(hook_mu_);
  if (on_change_) on_change_(e);
}

std::vector<FaultBook::Entry> FaultBook::entries() const {
  std::lock_guard lock(mu_);
  return entries_;
}

std::string FaultBook::text(const std::string& kind, int channel) const {
  std::lock_guard lock(mu_);
  for (const Entry& e : entries_)
    if (e.kind == kind && e.channel == channel) return e.text;
  return "";
}

}  // namespace quillon
