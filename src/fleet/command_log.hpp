#pragma once
// The command log: every command that reached a radio (or was refused on its way), with when,
// channel, who, how it came, its text and the radio's reply, in SQLite (commands.db in the data
// directory, WAL). The loop only hands entries and questions to a thread of the log's own
// through a bounded queue, so it never waits on the database; a database another process holds
// for a while is retried with the entries kept, and only a queue that overflows loses (counted).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>

namespace quillon {

struct CommandEntry {
  std::int64_t at_ms = 0;  // wall clock, ms since the Unix epoch
  int channel = 0;
  std::string who;   // "owner", "operator club", "data 192.0.2.7", "mqtt"
  std::string via;   // "console", "listeners", "data", "mqtt"
  std::string text;
  std::optional<std::string> reply;  // nothing: not read back (a data-port client's, MQTT's)
  std::string refused;               // why it did not go to the radio; empty when it did
};

struct CommandQuery {
  int channel = 0;        // 0: every channel
  std::string who;        // part of who, "" for everybody
  int limit = 100;        // 1..500
  std::int64_t before = 0;  // an entry's id: the older ones; 0: from the newest
};

class CommandLog {
 public:
  static constexpr std::size_t kMaxQueued = 4096;

  struct Options {
    int keep_days = 30;  // 0: no limit
    int keep_mb = 64;    // 0: no limit
    std::chrono::milliseconds retry{250};  // after the database was busy or could not be written
  };
  // Opens (or creates) `file` on the log's thread; a file that cannot be opened is retried.
  CommandLog(std::filesystem::path file, Options options);
  // Writes what is queued (as long as the database lets it within a few seconds), then stops.
  ~CommandLog();
  CommandLog(const CommandLog&) = delete;
  CommandLog& operator=(const CommandLog&) = delete;

  // Never waits. An entry past kMaxQueued waiting is dropped and counted.
  void add(CommandEntry e);
  // `done` gets {"commands": [...], "next": ID-or-null} on the log's thread, or an error text
  // ({"error": ...}) when the database cannot be read.
  void query(CommandQuery q, std::function<void(std::string json, bool ok)> done);

  std::uint64_t written() const { return written_; }
  std::uint64_t dropped() const { return dropped_; }
  std::uint64_t retries() const { return retries_; }  // writes put off (busy, or not writable)
  std::size_t waiting() const;

 private:
  using Job = std::variant<CommandEntry, std::pair<CommandQuery, std::function<void(std::string, bool)>>>;
  void run();

  std::filesystem::path file_;
  Options options_;
  mutable std::mutex mu_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::size_t entries_waiting_ = 0;
  bool stopping_ = false;
  std::atomic<std::uint64_t> written_{0}, dropped_{0}, retries_{0};
  std::thread thread_;
};

// "2026-12-08T14:02:07.250Z"
std::string iso_time_ms(std::int64_t ms);

}  // namespace quillon
