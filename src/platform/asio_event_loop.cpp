#include "platform/asio_event_loop.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace quillon {

struct AsioEventLoop::Pending {
  explicit Pending(boost::asio::io_context& io) : timer(io) {}
  boost::asio::steady_timer timer;
  std::function<void()> fn;
};

AsioEventLoop::~AsioEventLoop() {
  for (auto& [id, p] : pending_) p->timer.cancel();
}

EventLoop::TimerId AsioEventLoop::call_at(TimePoint when, std::function<void()> fn) {
  TimerId id = next_id_++;
  if (*closed_) return id;
  auto p = std::make_shared<Pending>(io_);
  p->fn = std::move(fn);
  p->timer.expires_at(when);
  pending_.emplace(id, p);
  p->timer.async_wait([this, id, weak = std::weak_ptr<Pending>(p)](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (ec || !self) return;
    auto it = pending_.find(id);
    if (it == pending_.end()) return;
    auto run = std::move(it->second->fn);
    pending_.erase(it);
    run();
  });
  return id;
}

void AsioEventLoop::cancel(TimerId id) {
  auto it = pending_.find(id);
  if (it == pending_.end()) return;
  it->second->timer.cancel();
  pending_.erase(it);
}

void AsioEventLoop::post(std::function<void()> fn) {
  if (*closed_) return;
  boost::asio::post(io_, [closed = closed_, fn = std::move(fn)] {
    if (!*closed) fn();
  });
}

void AsioEventLoop::close() {
  *closed_ = true;
  for (auto& [id, p] : pending_) p->timer.cancel();
  pending_.clear();
}

}  // namespace quillon
