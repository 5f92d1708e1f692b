#pragma once
// Puts finished calls into the index in the order they ended, on the loop, never waiting for it.
//
// A call is filed when its audio is complete and flushed under its temporary name
// (CallStore::temp_path): its row is committed, then the file moved in place. When the index is
// busy (another process holds it: a backup, a sqlite3 shell, a VACUUM) the call is kept, not
// lost: its row is written beside the file (CallStore::row_path, atomically) and the waiting
// calls go in, oldest first, as soon as the index takes them (tried every second; a call filed
// meanwhile waits behind them). Rows still waiting when the process ends are stored at the next
// start (load()). Only a failure other than a busy index (a full disk) loses a call.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "calls/call_store.hpp"
#include "core/event_loop.hpp"

namespace quillon::calls {

class CallFiler {
 public:
  static constexpr Millis kRetry{1000};
  // Waiting calls stored in one turn of the loop (each a durable commit): one, so draining a
  // backlog never holds the loop longer than storing a call as it ends does.
  static constexpr int kPerTurn = 1;
  static constexpr Millis kNextTurn{1};
  // Rows held in memory; past this they wait in their files only and are read back in order.
  static constexpr std::size_t kMaxHeld = 1000;

  CallFiler(EventLoop& loop, CallStore& store, std::size_t max_held = kMaxHeld);
  ~CallFiler();
  CallFiler(const CallFiler&) = delete;
  CallFiler& operator=(const CallFiler&) = delete;

  // The calls an earlier run left waiting: stored, in order, at the next try (start()).
  void load();
  // Tries to store what waits now, then every second while anything waits.
  void start();
  void stop();

  // A finished call: its audio is at store.temp_path(r.file).
  void file(CallRecord r);

  // A call was stored and its file moved in place (id and previous part set).
  std::function<void(CallRecord&)> on_stored;
  // A call is lost (its file removed): why, and whether the disk is full.
  std::function<void(const CallRecord&, const std::string& why, bool disk_full)> on_failed;

  // Calls waiting for the index.
  std::size_t waiting() const { return held_.size() + spilled_; }

 private:
  struct Held {
    CallRecord rec;
    std::uint64_t order = 0;
  };
  enum class Outcome { Stored, Lost, Busy };
  Outcome store_one(CallRecord& r);
  void keep(CallRecord r);
  void flush();
  void arm(Millis after = kRetry);
  // The waiting rows on disk, oldest first, at most kMaxHeld of them; counts the rest.
  void read_rows();
  bool write_row(const Held& h);
  void drop(const CallRecord& r);

  EventLoop& loop_;
  CallStore& store_;
  const std::size_t max_held_;
  std::deque<Held> held_;
  std::size_t spilled_ = 0;
  std::uint64_t last_order_ = 0;
  std::array<std::int64_t, 4> last_id_{};  // per channel, the call stored last (the previous part)
  EventLoop::TimerId timer_ = 0;
  bool running_ = false;
  bool said_busy_ = false;
  bool said_unwritten_ = false;
};

}  // namespace quillon::calls
