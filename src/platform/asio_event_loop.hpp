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
  // The window is gone: nothing scheduled or posted through this loop runs any more (a timer,
  // a pending wait), while the io_context may still run for others (the console saying
  // goodbye to its pages).
  void close();

  boost::asio::io_context& io() { return io_; }

 private:
  struct Pending;
  boost::asio::io_context& io_;
  TimerId next_id_ = 1;
  std::unordered_map<TimerId, std::shared_ptr<Pending>> pending_;
  std::shared_ptr<bool> closed_ = std::make_shared<bool>(false);
};

}  // namespace quillon
