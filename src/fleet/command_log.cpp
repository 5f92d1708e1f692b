#include "fleet/command_log.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <vector>

namespace quillon {

namespace {

using nlohmann::json;
constexpr std::size_t kBatch = 256;
constexpr std::chrono::seconds kPruneEvery{60};
constexpr std::chrono::seconds kLastTries{3};  // at shutdown, a busy database gets this long

struct Db {
  sqlite3* db = nullptr;
  ~Db() {
    if (db) sqlite3_close(db);
  }
  bool exec(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
};

struct Stmt {
  sqlite3_stmt* s = nullptr;
  Stmt(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
  ~Stmt() { sqlite3_finalize(s); }
  void text(int i, const std::string& v) { sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT); }
};

bool open_db(Db& d, const std::filesystem::path& file) {
  if (d.db) return true;
  if (sqlite3_open_v2(file.c_str(), &d.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    sqlite3_close(d.db);
    d.db = nullptr;
    return false;
  }
  sqlite3_busy_timeout(d.db, 200);
  const bool ok = d.exec("PRAGMA auto_vacuum = INCREMENTAL") && d.exec("PRAGMA journal_mode = WAL") &&
                  d.exec("CREATE TABLE IF NOT EXISTS commands (id INTEGER PRIMARY KEY, at_ms INTEGER NOT NULL, channel INTEGER NOT NULL, "
                         "who TEXT NOT NULL, via TEXT NOT NULL, text TEXT NOT NULL, reply TEXT, refused TEXT NOT NULL DEFAULT '')") &&
                  d.exec("CREATE INDEX IF NOT EXISTS commands_by_channel ON commands (channel, id)");
  if (!ok) {
    sqlite3_close(d.db);
    d.db = nullptr;
  }
  return ok;
}

bool write(Db& d, const std::vector<CommandEntry>& batch) {
  if (!d.exec("BEGIN IMMEDIATE")) return false;
  Stmt ins(d.db, "INSERT INTO commands (at_ms, channel, who, via, text, reply, refused) VALUES (?, ?, ?, ?, ?, ?, ?)");
  for (const CommandEntry& e : batch) {
    sqlite3_reset(ins.s);
    sqlite3_bind_int64(ins.s, 1, e.at_ms);
    sqlite3_bind_int(ins.s, 2, e.channel);
    ins.text(3, e.who);
    ins.text(4, e.via);
    ins.text(5, e.text);
    if (e.reply)
      ins.text(6, *e.reply);
    else
      sqlite3_bind_null(ins.s, 6);
    ins.text(7, e.refused);
    if (sqlite3_step(ins.s) != SQLITE_DONE) {
      d.exec("ROLLBACK");
      return false;
    }
  }
  if (!d.exec("COMMIT")) {
    d.exec("ROLLBACK");
    return false;
  }
  return true;
}

void prune(Db& d, int keep_days, int keep_mb, std::int64_t now_ms) {
  if (keep_days > 0) {
    Stmt del(d.db, "DELETE FROM commands WHERE at_ms < ?");
    sqlite3_bind_int64(del.s, 1, now_ms - static_cast<std::int64_t>(keep_days) * 86400000);
    sqlite3_step(del.s);
  }
  if (keep_mb > 0) {
    for (int round = 0; round < 8; ++round) {  // a tenth of the oldest at a time
      Stmt size(d.db, "SELECT (SELECT page_count FROM pragma_page_count) * (SELECT page_size FROM pragma_page_size) - "
                      "(SELECT freelist_count FROM pragma_freelist_count) * (SELECT page_size FROM pragma_page_size)");
      if (sqlite3_step(size.s) != SQLITE_ROW || sqlite3_column_int64(size.s, 0) <= static_cast<std::int64_t>(keep_mb) * 1024 * 1024) break;
      if (!d.exec("DELETE FROM commands WHERE id IN (SELECT id FROM commands ORDER BY id LIMIT MAX(1, (SELECT COUNT(*) FROM commands) / 10))"))
        break;
    }
  }
  d.exec("PRAGMA incremental_vacuum");
}

std::pair<std::string, bool> answer(Db& d, const CommandQuery& q) {
  if (!d.db) return {json{{"error", "the command log cannot be opened"}}.dump(), false};
  Stmt sel(d.db,
           "SELECT id, at_ms, channel, who, via, text, reply, refused FROM commands WHERE (?1 = 0 OR channel = ?1) "
           "AND (?2 = '' OR instr(lower(who), lower(?2)) > 0) AND (?3 = 0 OR id < ?3) ORDER BY id DESC LIMIT ?4");
  sqlite3_bind_int(sel.s, 1, q.channel);
  sel.text(2, q.who);
  sqlite3_bind_int64(sel.s, 3, q.before);
  sqlite3_bind_int(sel.s, 4, q.limit + 1);
  json list = json::array();
  json next = nullptr;
  auto col = [&](int i) {
    const unsigned char* t = sqlite3_column_text(sel.s, i);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(sel.s, i))) : std::string();
  };
  int rc = SQLITE_ROW;
  std::int64_t last = 0;
  while ((rc = sqlite3_step(sel.s)) == SQLITE_ROW) {
    if (static_cast<int>(list.size()) == q.limit) {
      next = last;
      break;
    }
    last = sqlite3_column_int64(sel.s, 0);
    json row = {{"id", last},
                {"at", iso_time_ms(sqlite3_column_int64(sel.s, 1))},
                {"channel", sqlite3_column_int(sel.s, 2)},
                {"who", col(3)},
                {"via", col(4)},
                {"text", col(5)},
                {"reply", sqlite3_column_type(sel.s, 6) == SQLITE_NULL ? json(nullptr) : json(col(6))},
                {"refused", col(7).empty() ? json(nullptr) : json(col(7))}};
    list.push_back(std::move(row));
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return {json{{"error", "the command log cannot be read now"}}.dump(), false};
  return {json{{"commands", list}, {"next", next}}.dump(-1, ' ', false, json::error_handler_t::replace), true};
}

}  // namespace

std::string iso_time_ms(std::int64_t ms) {
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec, static_cast<int>(((ms % 1000) + 1000) % 1000));
  return text;
}

CommandLog::CommandLog(std::filesystem::path file, Options options) : file_(std::move(file)), options_(options) {
  thread_ = std::thread([this] { run(); });
}

CommandLog::~CommandLog() {
  {
    std::lock_guard lk(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void CommandLog::add(CommandEntry e) {
  {
    std::lock_guard lk(mu_);
    if (entries_waiting_ >= kMaxQueued) {
      ++dropped_;
      return;
    }
    ++entries_waiting_;
    jobs_.emplace_back(std::move(e));
  }
  wake_.notify_one();
}

void CommandLog::query(CommandQuery q, std::function<void(std::string, bool)> done) {
  {
    std::lock_guard lk(mu_);
    jobs_.emplace_back(std::pair{std::move(q), std::move(done)});
  }
  wake_.notify_one();
}

std::size_t CommandLog::waiting() const {
  std::lock_guard lk(mu_);
  return entries_waiting_;
}

void CommandLog::run() {
  Db d;
  auto next_prune = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point> give_up;  // once stopping
  std::unique_lock lk(mu_);
  for (;;) {
    wake_.wait(lk, [&] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) break;  // stopping, nothing left
    if (stopping_ && !give_up) give_up = std::chrono::steady_clock::now() + kLastTries;

    std::vector<std::pair<CommandQuery, std::function<void(std::string, bool)>>> questions;
    std::vector<CommandEntry> batch;
    for (auto it = jobs_.begin(); it != jobs_.end();) {
      if (auto* q = std::get_if<1>(&*it)) {
        questions.push_back(std::move(*q));
        it = jobs_.erase(it);
      } else {
        if (batch.size() < kBatch) batch.push_back(std::get<0>(*it));
        ++it;
      }
    }
    lk.unlock();
    open_db(d, file_);
    // Entries first, so a question sees what was added before it; a busy database does not
    // hold the questions up.
    const bool wrote = batch.empty() || (d.db && write(d, batch));
    for (auto& [q, done] : questions) {
      auto [text, ok] = answer(d, q);
      if (done) done(std::move(text), ok);
    }
    if (wrote && d.db && std::chrono::steady_clock::now() >= next_prune) {
      prune(d, options_.keep_days, options_.keep_mb,
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
      next_prune = std::chrono::steady_clock::now() + kPruneEvery;
    }
    lk.lock();
    if (wrote) {
      // Only this thread takes entries off, and questions were moved out: the front is the batch.
      std::size_t n = batch.size();
      for (auto it = jobs_.begin(); it != jobs_.end() && n > 0;) {
        if (it->index() == 0) {
          it = jobs_.erase(it);
          --n;
        } else {
          ++it;
        }
      }
      entries_waiting_ -= batch.size();
      written_ += batch.size();
      continue;
    }
    // Busy (another process holds it) or not writable: the entries stay and are tried again.
    ++retries_;
    if (give_up && std::chrono::steady_clock::now() >= *give_up) {
      dropped_ += entries_waiting_;
      break;
    }
    wake_.wait_for(lk, options_.retry, [&] {
      return std::any_of(jobs_.begin(), jobs_.end(), [](const Job& j) { return j.index() == 1; });
    });
  }
}

}  // namespace quillon
