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
  if (on_change) on_change(copy);
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
  if (on_change) on_change(copy);
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
