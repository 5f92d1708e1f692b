#pragma once
// A lazily started coroutine for handlers that wait (wait_seconds, message boxes).
// `co_await task` runs it to completion inside the caller; `start_detached` runs it as an
// event of its own and reports completion through a callback.

#include <coroutine>
#include <exception>
#include <functional>
#include <utility>

namespace quillon {

class Task {
 public:
  struct promise_type {
    std::coroutine_handle<> continuation;
    std::function<void()> on_done;
    bool detached = false;

    Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }

    struct FinalAwaiter {
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
        auto& p = h.promise();
        if (p.detached) {
          auto done = std::move(p.on_done);
          h.destroy();
          if (done) done();
          return std::noop_coroutine();
        }
        return p.continuation ? p.continuation : std::noop_coroutine();
      }
      void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    // Handlers never fail as a whole: their steps are guarded. Anything escaping is dropped
    // here so one broken handler cannot take the loop down.
    void unhandled_exception() noexcept {}
  };

  Task() = default;
  Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  Task& operator=(Task&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  bool valid() const noexcept { return static_cast<bool>(h_); }

  bool await_ready() const noexcept { return !h_ || h_.done(); }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) noexcept {
    h_.promise().continuation = caller;
    return h_;
  }
  void await_resume() noexcept {}

  // Runs the coroutine; the frame frees itself at the end. `done` runs when it finishes
  // (possibly before this returns, when nothing waited).
  void start_detached(std::function<void()> done = {}) {
    if (!h_) {
      if (done) done();
      return;
    }
    auto h = std::exchange(h_, {});
    h.promise().detached = true;
    h.promise().on_done = std::move(done);
    h.resume();
  }

 private:
  explicit Task(std::coroutine_handle<promise_type> h) : h_(h) {}
  void reset() {
    if (h_) h_.destroy();
    h_ = {};
  }
  std::coroutine_handle<promise_type> h_;
};

// A Task that has nothing to wait for.
inline Task completed_task() { co_return; }

}  // namespace quillon
