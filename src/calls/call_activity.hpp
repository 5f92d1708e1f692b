#pragma once
// Activity at a glance, kept beside the calls' index: airtime and calls per hour, so a heat map of
// 90 days or the busiest frequencies of a month never walk the calls themselves.
//
// Three tables, all changed in the same transaction as the calls (CallStore::add, retention):
//   activity_hours          (hour, channel, frequency_hz, tag1, tag2) -> calls, airtime_ms, last_ms
//   activity_days           (day, channel, frequency_hz, tag1, tag2)  -> calls, airtime_ms, last_ms
//   activity_channel_hours  (hour, channel)                           -> calls, airtime_ms
// `hour` is the UTC hour (ms / 3 600 000), `day` the UTC day (hour / 24): the busiest lists of a
// period read whole days from the day table and only its ragged ends from the hour table. A call counts once, in the hour it starts; its airtime
// is split over the hours it covers. tag1 and tag2 are the channel and bank tags (display lines 3
// and 4). Opening checks the tables against the calls (count and airtime per channel) and
// rebuilds them when they are missing or disagree (an index from before, rows changed by hand).
//
// Reading: read_activity() answers one question on any connection; ActivityReader asks it on a
// thread and connection of its own, so the loop never waits on a long query (a word search over
// 90 days walks the calls).

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "calls/call_store.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace quillon::calls {

inline constexpr std::int64_t kHourMs = 3'600'000;

// One question. Times are UTC ms; the caller chooses them (local days: activity_api).
struct ActivityQuery {
  std::optional<int> channel;
  std::optional<std::int64_t> frequency_hz;
  std::string text;              // words in tags or display, as /api/calls takes them
  std::int64_t from_ms = 0;      // the period counted: hours from the one holding from_ms ...
  std::int64_t to_ms = 0;        // ... to the one holding to_ms
  std::int64_t recent_ms = 0;    // calls starting at or after this are "recent" (the quiet rule)
  std::int64_t timeline_from_ms = 0;  // calls starting in [timeline_from, to) are listed
};

struct ActivityHour {
  std::int64_t hour = 0;  // UTC hour index
  std::int64_t calls = 0, airtime_ms = 0;
};

// What one frequency heard under one pair of tags within the period.
struct ActivityGroup {
  std::int64_t frequency_hz = 0;
  std::string tag1, tag2;
  std::int64_t calls = 0, airtime_ms = 0, last_ms = 0;
  std::int64_t recent_calls = 0;  // of those, starting at or after recent_ms
};

struct Activity {
  std::vector<ActivityHour> hours;    // ascending, only hours with airtime or calls
  std::vector<ActivityGroup> groups;  // unordered
  bool groups_cut = false;            // more groups than kept (kMaxGroups)
  std::vector<CallRecord> timeline;   // oldest first
  bool timeline_cut = false;          // more calls than kMaxTimeline: the newest are kept
  bool from_calls = false;            // answered by walking the calls (a word search)
};

inline constexpr std::size_t kMaxGroups = 20'000;
inline constexpr std::size_t kMaxTimeline = 2'000;

// Throws StoreError (busy set when another connection holds what it needs).
Activity read_activity(sqlite3* db, const ActivityQuery& q);

// The write side, owned by CallStore: the tables, and each call counted in or out.
class ActivityBook {
 public:
  explicit ActivityBook(sqlite3* db) : db_(db) {}
  ~ActivityBook();
  ActivityBook(const ActivityBook&) = delete;
  ActivityBook& operator=(const ActivityBook&) = delete;

  // Creates the tables; rebuilds them when they disagree with the calls. False on an SQLite error
  // (the connection's error says which).
  bool open();
  // Counts a call in (+1) or out (-1), inside the caller's transaction. False on an SQLite error.
  bool count(const CallRecord& r, int sign);
  // What the last open() found and did.
  bool rebuilt() const { return rebuilt_; }

 private:
  bool consistent();
  bool rebuild();
  bool prepare();
  sqlite3* db_;
  // The statements of one detailed table (by hour, by day).
  struct Detail {
    const char* table;
    std::int64_t hours;  // a bucket's span
    sqlite3_stmt* add = nullptr;
    sqlite3_stmt* prune = nullptr;
    sqlite3_stmt* last = nullptr;
    sqlite3_stmt* relast = nullptr;
  };
  bool count_in(Detail& d, const CallRecord& r, std::int64_t hour, int calls, std::int64_t air, int sign);
  Detail hours_{"activity_hours", 1};
  Detail days_{"activity_days", 24};
  sqlite3_stmt* add_channel_ = nullptr;
  sqlite3_stmt* prune_channel_ = nullptr;
  bool rebuilt_ = false;
};

// Answers questions on a thread of its own with a read-only connection to the index. ask() never
// waits: past kMaxWaiting questions it refuses (false). `done` runs on the reader's thread with
// the answer or the error's text.
class ActivityReader {
 public:
  static constexpr std::size_t kMaxWaiting = 4;
  using Done = std::function<void(std::optional<Activity>, std::string error, bool busy)>;

  explicit ActivityReader(std::filesystem::path database);
  ~ActivityReader();
  ActivityReader(const ActivityReader&) = delete;
  ActivityReader& operator=(const ActivityReader&) = delete;

  bool ask(ActivityQuery q, Done done);

 private:
  void run();
  std::filesystem::path database_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::pair<ActivityQuery, Done>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace quillon::calls
