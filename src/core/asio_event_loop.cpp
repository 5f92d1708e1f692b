#include "core/asio_event_loop.hpp"

#include <boost/asio/post.hpp>
#include <vector>

namespace quillon {

AsioEventLoop::AsioEventLoop(boost::asio::io_context& io) : io_(io), timer_(io) {}

AsioEventLoop::~AsioEventLoop() { timer_.cancel(); }

Clock::duration AsioEventLoop::slack_for(Clock::duration delay) {
  if (delay <= Clock::duration::zero()) return Clock::duration::zero();
  return std::min<Clock::duration>(delay / 8, kMaxSlack);
}

EventLoop::TimerId AsioEventLoop::call_at(TimePoint when, std::function<void()> fn) {
  const TimerId id = next_id_++;
  if (*closed_) return id;
  const TimePoint latest = when + slack_for(when - now());
  due_.emplace(Key{when, id}, Entry{latest, std::move(fn)});
  latest_.insert(Key{latest, id});
  when_.emplace(id, when);
  if (!in_batch_ && latest < armed_) arm();
  return id;
}

void AsioEventLoop::cancel(TimerId id) {
  auto w = when_.find(id);
  if (w == when_.end()) return;
  auto d = due_.find(Key{w->second, id});
  latest_.erase(latest_.find(Key{d->second.latest, id}));
  due_.erase(d);
  when_.erase(w);
  // The armed wake-up stays: waking once for nothing is cheaper than re-arming on every cancel.
}

void AsioEventLoop::post(std::function<void()> fn) {
  if (*closed_) return;
  boost::asio::post(io_, [closed = closed_, fn = std::move(fn)] {
    if (!*closed) fn();
  });
}

void AsioEventLoop::close() {
  *closed_ = true;
  due_.clear();
  latest_.clear();
  when_.clear();
  armed_ = TimePoint::max();
  timer_.cancel();
}

void AsioEventLoop::arm() {
  if (latest_.empty()) {
    armed_ = TimePoint::max();
    timer_.cancel();
    return;
  }
  armed_ = latest_.begin()->first;
  timer_.expires_at(armed_);
  timer_.async_wait([this](const boost::system::error_code& ec) {
    if (ec) return;  // re-armed or shut down
    run_due();
  });
}

void AsioEventLoop::run_due() {
  ++wakeups_;
  armed_ = TimePoint::max();
  in_batch_ = true;
  struct Rearm {  // also when a callback throws: the rest of the batch runs at the next wake-up
    AsioEventLoop& loop;
    ~Rearm() {
      loop.in_batch_ = false;
      loop.arm();
    }
  } rearm{*this};
  // What is due now runs; what its callbacks schedule waits for the next wake-up, armed once
  // the batch is done.
  const TimePoint t = now();
  std::vector<TimerId> batch;
  for (auto it = due_.begin(); it != due_.end() && it->first.first <= t; ++it) batch.push_back(it->first.second);
  for (TimerId id : batch) {
    auto w = when_.find(id);
    if (w == when_.end()) continue;  // cancelled by an earlier callback of the batch
    auto d = due_.find(Key{w->second, id});
    auto fn = std::move(d->second.fn);
    latest_.erase(latest_.find(Key{d->second.latest, id}));
    due_.erase(d);
    when_.erase(w);
    ++timed_runs_;
    fn();
  }
}

}  // namespace quillon
