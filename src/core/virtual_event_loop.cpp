#include "core/virtual_event_loop.hpp"

namespace quillon {

VirtualEventLoop::VirtualEventLoop()
    : now_(TimePoint{} + std::chrono::hours(1)), wall_base_(WallClock::now()), wall_base_at_(now_) {}

WallClock::time_point VirtualEventLoop::wall_now() const {
  return wall_base_ + std::chrono::duration_cast<WallClock::duration>(now_ - wall_base_at_);
}

void VirtualEventLoop::set_wall_time(WallClock::time_point t) {
  wall_base_ = t;
  wall_base_at_ = now_;
}

EventLoop::TimerId VirtualEventLoop::call_at(TimePoint when, std::function<void()> fn) {
  if (when < now_) when = now_;
  TimerId id = next_id_++;
  queue_.emplace(Key{when, id}, std::move(fn));
  when_.emplace(id, when);
  return id;
}

void VirtualEventLoop::cancel(TimerId id) {
  auto it = when_.find(id);
  if (it == when_.end()) return;
  queue_.erase(Key{it->second, id});
  when_.erase(it);
}

void VirtualEventLoop::post(std::function<void()> fn) { call_at(now_, std::move(fn)); }

void VirtualEventLoop::advance(Millis d) {
  const TimePoint until = now_ + d;
  while (!queue_.empty() && queue_.begin()->first.first <= until) {
    auto node = queue_.extract(queue_.begin());
    when_.erase(node.key().second);
    now_ = node.key().first;
    node.mapped()();
  }
  now_ = until;
}

}  // namespace quillon
