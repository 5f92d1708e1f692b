#pragma once
// The production event loop: one io_context, run by the one thread that owns the window model.

#include <boost/asio/io_context.hpp>
#include <memory>
#include <unordered_map>

#include "platform/event_loop.hpp"

namespace quillon {

class AsioEventLoop final : public EventLoop {
 public:
  explicit AsioEventLoop(boost::asio::io_context& io) : io_(io) {}
  ~AsioEventLoop() override;

  TimePoint now() const override { return Clock::now(); }
  WallClock::time_point wall_now() const override { return WallClock::now(); }
  TimerId call_at(TimePoint when, std::function<void()> fn) override;
  void cancel(TimerId id) override;
  void post(std::function<void()> fn) override;

  boost::asio::io_context& io() { return io_; }

 private:
  struct Pending;
  boost::asio::io_context& io_;
  TimerId next_id_ = 1;
  std::unordered_map<TimerId, std::shared_ptr<Pending>> pending_;
};

}  // namespace quillon
