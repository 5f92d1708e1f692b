#include "calls/call_store.hpp"

#include "calls/call_activity.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <set>

namespace quillon::calls {

namespace fs = std::filesystem;

namespace {

// Longer than any call: the hard maximum (at most an hour) and the hang time.
constexpr std::int64_t kLongestCallMs = 3700LL * 1000;
// How long the loop waits for another process's lock before the operation says busy. Opening
// (before the loop runs) may wait longer.
constexpr int kBusyWaitMs = 10;
constexpr int kOpenBusyWaitMs = 1000;

bool busy_code(int code) { return (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED; }

// A prepared statement freed with its scope.
class Stmt {
 public:
  Stmt(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s_, nullptr) != SQLITE_OK) s_ = nullptr;
  }
  ~Stmt() { sqlite3_finalize(s_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  sqlite3_stmt* get() const { return s_; }
  explicit operator bool() const { return s_ != nullptr; }

 private:
  sqlite3_stmt* s_ = nullptr;
};

constexpr const char* kColumns =
    "id, site, channel, start_ms, duration_ms, frequency_hz, modulation, d1, d2, d3, d4, signal_max, tone, part, prev_id, "
    "file, bytes, link_id, shown";

std::string text_col(sqlite3_stmt* s, int i) {
  const auto* t = sqlite3_column_text(s, i);
  return t ? reinterpret_cast<const char*>(t) : "";
}

CallRecord read_row(sqlite3_stmt* s) {
  CallRecord r;
  r.id = sqlite3_column_int64(s, 0);
  r.site = text_col(s, 1);
  r.channel = sqlite3_column_int(s, 2);
  r.start_ms = sqlite3_column_int64(s, 3);
  r.duration_ms = sqlite3_column_int(s, 4);
  r.frequency_hz = sqlite3_column_int64(s, 5);
  r.modulation = text_col(s, 6);
  for (int i = 0; i < 4; ++i) r.display[static_cast<std::size_t>(i)] = text_col(s, 7 + i);
  r.signal_max = sqlite3_column_int(s, 11);
  r.tone = text_col(s, 12);
  r.part = sqlite3_column_int(s, 13);
  r.prev_id = sqlite3_column_int64(s, 14);
  r.file = text_col(s, 15);
  r.bytes = sqlite3_column_int64(s, 16);
  r.link_id = sqlite3_column_int64(s, 17);
  r.duplicate = r.link_id > 0 && r.link_id != r.id;
  r.shown = sqlite3_column_int(s, 18) != 0;
  return r;
}

void bind_text(sqlite3_stmt* s, int i, const std::string& v) { sqlite3_bind_text(s, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT); }

void sync_dir(const fs::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Words of a search as FTS5 prefix terms, each quoted: the text is never read as query syntax.
std::string match_expression(const std::string& text) {
  std::string out, word;
  auto flush = [&] {
    const bool searchable = std::any_of(word.begin(), word.end(), [](unsigned char c) { return std::isalnum(c) || c >= 0x80; });
    if (searchable) {
      std::string quoted = "\"";
      for (char c : word) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
      out += (out.empty() ? "" : " ") + quoted + "\"*";
    }
    word.clear();
  };
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)))
      flush();
    else
      word += c;
  }
  flush();
  return out;
}

}  // namespace

std::vector<std::string> CallRecord::tags() const {
  std::vector<std::string> t;
  for (std::size_t i : {2u, 3u})
    if (!display[i].empty()) t.push_back(display[i]);
  return t;
}

CallStore::CallStore(const fs::path& dir) : dir_(dir) {
  wall_ms = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  };
  std::error_code ec;
  fs::create_directories(incoming(), ec);
  if (ec) throw StoreError("cannot create " + incoming().string() + ": " + ec.message());
  if (sqlite3_open_v2((dir / "calls.db").c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("cannot open " + (dir / "calls.db").string() + ": " + why);
  }
  try {
    sqlite3_busy_timeout(db_, kOpenBusyWaitMs);
    // Incremental vacuum must be chosen before the first table exists; setting it again on an
    // existing index would wait for a lock another process may hold (a backup at start-up).
    bool fresh = false;
    {
      Stmt tables(db_, "SELECT COUNT(*) FROM sqlite_master");
      if (!tables) fail("open");
      const int rc = sqlite3_step(tables.get());
      if (rc != SQLITE_ROW) fail("open");
      fresh = sqlite3_column_int(tables.get(), 0) == 0;
    }
    if (fresh) exec("PRAGMA auto_vacuum = INCREMENTAL");
    exec("PRAGMA journal_mode = WAL");
    // FULL: a committed row survives power loss, since the file is moved in place right after.
    exec("PRAGMA synchronous = FULL");
    exec("CREATE TABLE IF NOT EXISTS calls (id INTEGER PRIMARY KEY, site TEXT NOT NULL, channel INTEGER NOT NULL, "
         "start_ms INTEGER NOT NULL, duration_ms INTEGER NOT NULL, frequency_hz INTEGER NOT NULL, modulation TEXT NOT NULL, "
         "d1 TEXT NOT NULL, d2 TEXT NOT NULL, d3 TEXT NOT NULL, d4 TEXT NOT NULL, signal_max INTEGER NOT NULL, "
         "tone TEXT NOT NULL, part INTEGER NOT NULL, prev_id INTEGER NOT NULL, file TEXT NOT NULL UNIQUE, "
         "bytes INTEGER NOT NULL)");
    exec("CREATE INDEX IF NOT EXISTS calls_by_channel ON calls (channel, id)");
    // Calls are stored as they end: the end times grow with the ids (see find()).
    exec("CREATE INDEX IF NOT EXISTS calls_by_end ON calls (start_ms + duration_ms)");
    exec("CREATE VIRTUAL TABLE IF NOT EXISTS calls_text USING fts5 (tags, display)");
    open_links();
    create_alert_tables();
    if (sqlite3_prepare_v2(db_,
                           "INSERT INTO calls (site, channel, start_ms, duration_ms, frequency_hz, modulation, d1, d2, d3, d4, "
                           "signal_max, tone, part, prev_id, file, bytes) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                           -1, &insert_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, "INSERT INTO calls_text (rowid, tags, display) VALUES (?,?,?)", -1, &insert_text_, nullptr) !=
            SQLITE_OK)
      fail("prepare");
    open_activity();
    reconcile();
    total_bytes_ = 0;
    channel_bytes_ = {};
    Stmt sums(db_, "SELECT channel, SUM(bytes) FROM calls GROUP BY channel");
    while (sums && sqlite3_step(sums.get()) == SQLITE_ROW) {
      const int ch = sqlite3_column_int(sums.get(), 0);
      const std::int64_t b = sqlite3_column_int64(sums.get(), 1);
      total_bytes_ += b;
      if (ch >= 1 && ch <= 4) channel_bytes_[static_cast<std::size_t>(ch - 1)] = b;
    }
    sqlite3_busy_timeout(db_, kBusyWaitMs);
    busy_since_ms_.reset();
  } catch (...) {
    close_links();
    activity_.reset();
    sqlite3_finalize(insert_);
    sqlite3_finalize(insert_text_);
    sqlite3_close(db_);
    throw;
  }
}

CallStore::~CallStore() {
  close_links();
  activity_.reset();
  sqlite3_finalize(insert_);
  sqlite3_finalize(insert_text_);
  sqlite3_close(db_);
}

void CallStore::fail(const std::string& what) { fail(what, sqlite3_extended_errcode(db_), sqlite3_errmsg(db_)); }

void CallStore::fail(const std::string& what, int code, const std::string& message) {
  StoreError e("call index: " + what + ": " + message);
  e.disk_full = (code & 0xff) == SQLITE_FULL || (code & 0xff) == SQLITE_IOERR;
  e.busy = busy_code(code);
  if (e.busy && !busy_since_ms_) busy_since_ms_ = wall_ms();
  throw e;
}

// After a failed step: SQLite may have ended the transaction itself (a failed commit does), so a
// rollback's own complaint is of no interest.
void CallStore::rollback() {
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void CallStore::fail_rolled_back(const std::string& what) {
  const int code = sqlite3_extended_errcode(db_);
  const std::string why = sqlite3_errmsg(db_);
  rollback();
  fail(what, code, why);
}

void CallStore::written() { busy_since_ms_.reset(); }

bool CallStore::probe() {
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    if (busy_code(sqlite3_extended_errcode(db_)) && !busy_since_ms_) busy_since_ms_ = wall_ms();
    return false;
  }
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  written();
  return true;
}

void CallStore::exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
}

fs::path CallStore::temp_path(const std::string& file) const {
  std::string name = file;
  std::replace(name.begin(), name.end(), '/', '_');
  return incoming() / (name + ".part");
}

fs::path CallStore::row_path(const std::string& file) const {
  std::string name = file;
  std::replace(name.begin(), name.end(), '/', '_');
  return incoming() / (name + ".row");
}

void CallStore::reconcile() {
  // Temporary files: complete when their row exists, else cut short by a crash.
  std::error_code ec;
  std::vector<fs::path> temps, rows;
  for (fs::directory_iterator it(incoming(), ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".part") temps.push_back(it->path());
    if (it->path().extension() == ".row") rows.push_back(it->path());
    // A row file cut short while being written: its call's row was not kept yet.
    if (it->path().extension() == ".tmp") fs::remove(it->path(), ec);
  }
  ec.clear();
  Stmt by_file(db_, "SELECT id FROM calls WHERE file = ?");
  for (const auto& t : temps) {
    std::string file = t.filename().string();
    file.resize(file.size() - 5);
    // "2026_12_08_c1-..." back to "2026/12/08/c1-...": the first three separators.
    for (int i = 0, pos = 0; i < 3; ++i) {
      const auto at = file.find('_', static_cast<std::size_t>(pos));
      if (at == std::string::npos) break;
      file[at] = '/';
      pos = static_cast<int>(at) + 1;
    }
    sqlite3_reset(by_file.get());
    bind_text(by_file.get(), 1, file);
    const bool listed = by_file && sqlite3_step(by_file.get()) == SQLITE_ROW;
    fs::path row = t;
    row.replace_extension(".row");
    if (listed) {
      fs::create_directories((dir_ / file).parent_path(), ec);
      fs::rename(t, dir_ / file, ec);
      if (!ec) {
        sync_dir((dir_ / file).parent_path());
        fs::remove(row, ec);
        ++recovery_.finished;
        continue;
      }
    }
    // Complete, waiting for the index when the process ended: the filer stores it.
    if (!listed && fs::exists(row, ec)) continue;
    fs::remove(t, ec);
    ++recovery_.removed_temp;
  }
  // A row file whose call was stored and moved in place.
  for (const auto& r : rows) {
    fs::path part = r;
    part.replace_extension(".part");
    if (!fs::exists(part, ec)) fs::remove(r, ec);
  }
  sync_dir(incoming());
  // Rows whose file is gone: the newest (a crash before the move) and the oldest (retention).
  std::vector<CallRecord> gone;
  for (const char* sql : {"SELECT %s FROM calls ORDER BY id DESC LIMIT 64", "SELECT %s FROM calls ORDER BY id ASC LIMIT 256"}) {
    char buf[512];
    std::snprintf(buf, sizeof buf, sql, kColumns);
    Stmt s(db_, buf);
    while (s && sqlite3_step(s.get()) == SQLITE_ROW) {
      CallRecord r = read_row(s.get());
      if (!fs::exists(dir_ / r.file, ec) &&
          std::none_of(gone.begin(), gone.end(), [&](const CallRecord& g) { return g.id == r.id; }))
        gone.push_back(std::move(r));
    }
  }
  try {
    remove_rows(gone);
    recovery_.removed_rows = static_cast<int>(gone.size());
  } catch (const StoreError& e) {
    if (!e.busy) throw;  // held by another process: the next opening removes them
  }
}

std::int64_t CallStore::add(CallRecord& r) {
  exec("BEGIN IMMEDIATE");
  sqlite3_stmt* s = insert_;
  sqlite3_reset(s);
  bind_text(s, 1, r.site);
  sqlite3_bind_int(s, 2, r.channel);
  sqlite3_bind_int64(s, 3, r.start_ms);
  sqlite3_bind_int(s, 4, r.duration_ms);
  sqlite3_bind_int64(s, 5, r.frequency_hz);
  bind_text(s, 6, r.modulation);
  for (int i = 0; i < 4; ++i) bind_text(s, 7 + i, r.display[static_cast<std::size_t>(i)]);
  sqlite3_bind_int(s, 11, r.signal_max);
  bind_text(s, 12, r.tone);
  sqlite3_bind_int(s, 13, r.part);
  sqlite3_bind_int64(s, 14, r.prev_id);
  bind_text(s, 15, r.file);
  sqlite3_bind_int64(s, 16, r.bytes);
  if (sqlite3_step(s) != SQLITE_DONE) fail_rolled_back("insert");
  r.id = sqlite3_last_insert_rowid(db_);
  std::string tags, display;
  for (const auto& t : r.tags()) tags += (tags.empty() ? "" : " ") + t;
  for (const auto& d : r.display) display += (display.empty() ? "" : "\n") + d;
  sqlite3_reset(insert_text_);
  sqlite3_bind_int64(insert_text_, 1, r.id);
  bind_text(insert_text_, 2, tags);
  bind_text(insert_text_, 3, display);
  if (sqlite3_step(insert_text_) != SQLITE_DONE) fail_rolled_back("insert");
  // The same transmission on another channel: linked in this transaction, so a crash leaves
  // the call either absent or stored and linked.
  link_new(r);
  if (activity_kept_ && !activity_->count(r, +1)) fail_rolled_back("insert");
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) fail_rolled_back("commit");
  written();
  total_bytes_ += r.bytes;
  if (r.channel >= 1 && r.channel <= 4) channel_bytes_[static_cast<std::size_t>(r.channel - 1)] += r.bytes;
  return r.id;
}

void CallStore::remove(std::int64_t id) {
  if (auto r = get(id)) remove_rows({*r});
}

void CallStore::remove_rows(const std::vector<CallRecord>& rows) {
  if (rows.empty()) return;
  exec("BEGIN IMMEDIATE");
  Stmt del(db_, "DELETE FROM calls WHERE id = ?");
  Stmt del_text(db_, "DELETE FROM calls_text WHERE rowid = ?");
  for (const auto& r : rows)
    for (sqlite3_stmt* s : {del.get(), del_text.get()}) {
      sqlite3_reset(s);
      sqlite3_bind_int64(s, 1, r.id);
      if (!s || sqlite3_step(s) != SQLITE_DONE) fail_rolled_back("delete");
    }
  // A linked call removed: the rest of its transmission is listed still.
  relink_removed(rows);
  for (const auto& r : rows)
    if (activity_kept_ && !activity_->count(r, -1)) fail_rolled_back("delete");
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) fail_rolled_back("commit");
  written();
  for (const auto& r : rows) {
    total_bytes_ -= r.bytes;
    if (r.channel >= 1 && r.channel <= 4) channel_bytes_[static_cast<std::size_t>(r.channel - 1)] -= r.bytes;
  }
  // Give the freed pages back to the file system, a bounded amount at a time.
  sqlite3_exec(db_, "PRAGMA incremental_vacuum(2000)", nullptr, nullptr, nullptr);
}

std::optional<CallRecord> CallStore::get(std::int64_t id) {
  Stmt s(db_, std::string("SELECT ") + kColumns + " FROM calls WHERE id = ?");
  if (!s) fail("query");
  sqlite3_bind_int64(s.get(), 1, id);
  const int rc = sqlite3_step(s.get());
  if (rc == SQLITE_ROW) return read_row(s.get());
  if (rc != SQLITE_DONE) fail("query");
  return std::nullopt;
}

std::optional<CallRecord> CallStore::get_by_file(const std::string& file) {
  Stmt s(db_, std::string("SELECT ") + kColumns + " FROM calls WHERE file = ?");
  if (!s) fail("query");
  bind_text(s.get(), 1, file);
  const int rc = sqlite3_step(s.get());
  if (rc == SQLITE_ROW) return read_row(s.get());
  if (rc != SQLITE_DONE) fail("query");
  return std::nullopt;
}

std::int64_t CallStore::count() {
  Stmt s(db_, "SELECT COUNT(*) FROM calls");
  return s && sqlite3_step(s.get()) == SQLITE_ROW ? sqlite3_column_int64(s.get(), 0) : 0;
}

CallPage CallStore::find(const CallQuery& q) {
  // A start in [from, to) means an end in [from, to + the longest call), and ids grow with the
  // end: the range of ids to walk. The exact start condition is checked on each call.
  auto end_bound = [&](const char* sql, std::int64_t t) -> std::optional<std::int64_t> {
    Stmt s(db_, sql);
    if (!s) fail("query");
    sqlite3_bind_int64(s.get(), 1, t);
    const int rc = sqlite3_step(s.get());
    if (rc == SQLITE_ROW) return sqlite3_column_int64(s.get(), 0);
    if (rc != SQLITE_DONE) fail("query");
    return std::nullopt;
  };
  std::int64_t lo = 0, hi = INT64_MAX;
  if (q.from_ms)
    lo = end_bound("SELECT id FROM calls WHERE start_ms + duration_ms >= ? ORDER BY start_ms + duration_ms LIMIT 1", *q.from_ms)
             .value_or(INT64_MAX);
  if (q.to_ms)
    hi = end_bound("SELECT id FROM calls WHERE start_ms + duration_ms < ? ORDER BY start_ms + duration_ms DESC LIMIT 1",
                   *q.to_ms + kLongestCallMs)
             .value_or(0);
  if (q.before) hi = std::min(hi, *q.before - 1);

  const std::string match = match_expression(q.text);
  std::string sql = std::string("SELECT ") + kColumns + " FROM ";
  // With a text the text index leads, newest first; otherwise the table (or a channel's index).
  sql += match.empty() ? "calls WHERE id BETWEEN :lo AND :hi"
                       : "calls_text CROSS JOIN calls ON calls.id = calls_text.rowid WHERE calls_text MATCH :match "
                         "AND calls_text.rowid BETWEEN :lo AND :hi";
  // A transmission heard on several channels is listed once: its shown recording. A channel's
  // list holds every call of that channel.
  if (q.channel)
    sql += " AND channel = :channel";
  else
    sql += " AND shown = 1";
  if (q.frequency_hz) sql += " AND frequency_hz = :frequency";
  if (q.from_ms) sql += " AND start_ms >= :from";
  if (q.to_ms) sql += " AND start_ms < :to";
  if (q.min_ms) sql += " AND duration_ms >= :min";
  if (q.alerted) sql += " AND calls.id IN (SELECT call_id FROM alerts WHERE call_id != 0)";
  sql += match.empty() ? " ORDER BY id DESC" : " ORDER BY calls_text.rowid DESC";
  sql += " LIMIT :limit";
  Stmt s(db_, sql);
  if (!s) fail("query");
  auto bind64 = [&](const char* name, std::int64_t v) {
    sqlite3_bind_int64(s.get(), sqlite3_bind_parameter_index(s.get(), name), v);
  };
  bind64(":lo", lo);
  bind64(":hi", hi);
  if (q.channel) bind64(":channel", *q.channel);
  if (q.frequency_hz) bind64(":frequency", *q.frequency_hz);
  if (q.from_ms) bind64(":from", *q.from_ms);
  if (q.to_ms) bind64(":to", *q.to_ms);
  if (q.min_ms) bind64(":min", *q.min_ms);
  if (!match.empty()) bind_text(s.get(), sqlite3_bind_parameter_index(s.get(), ":match"), match);
  const int limit = std::clamp(q.limit, 1, 500);
  bind64(":limit", limit + 1);
  CallPage page;
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) page.calls.push_back(read_row(s.get()));
  if (rc != SQLITE_DONE) fail("query");
  if (static_cast<int>(page.calls.size()) > limit) {
    page.calls.resize(static_cast<std::size_t>(limit));
    page.next = page.calls.back().id;
  }
  return page;
}

int CallStore::retain(int keep_days, std::int64_t keep_mb, std::int64_t now_ms) {
  int removed = 0;
  // Files go before their rows: not while the rows cannot follow.
  if (busy_since_ms_ && !probe()) return 0;
  std::error_code ec;
  // In batches, oldest first: the file goes before its row (see the header). Calls held for
  // upload are stepped over.
  std::int64_t after = 0, stepped_from = 0;
  for (;;) {
    const bool by_age = keep_days > 0;
    const bool by_size = keep_mb > 0 && total_bytes_ > keep_mb * 1024 * 1024;
    std::string sql = std::string("SELECT ") + kColumns + " FROM calls WHERE ";
    if (by_size)
      sql += "1";
    else if (by_age)
      sql += "start_ms < " + std::to_string(now_ms - static_cast<std::int64_t>(keep_days) * 86400000LL);
    else
      break;
    sql += " AND id > " + std::to_string(after) + " ORDER BY id ASC LIMIT 200";
    Stmt s(db_, sql);
    std::vector<CallRecord> batch;
    std::int64_t over = by_size ? total_bytes_ - keep_mb * 1024 * 1024 : 0;
    while (s && sqlite3_step(s.get()) == SQLITE_ROW) {
      CallRecord r = read_row(s.get());
      const bool old = by_age && r.start_ms < now_ms - static_cast<std::int64_t>(keep_days) * 86400000LL;
      if (!old && over <= 0) break;
      after = r.id;
      if (held && held(r)) continue;
      over -= r.bytes;
      batch.push_back(std::move(r));
    }
    if (batch.empty()) {
      // A batch wholly held: look further unless nothing was stepped over.
      if (after == stepped_from) break;
      stepped_from = after;
      continue;
    }
    stepped_from = after;
    std::set<fs::path> dirs;
    for (const auto& r : batch) {
      fs::remove(dir_ / r.file, ec);
      dirs.insert((dir_ / r.file).parent_path());
    }
    for (const auto& d : dirs) {
      sync_dir(d);
      fs::remove(d, ec);  // only when empty
    }
    remove_rows(batch);
    removed += static_cast<int>(batch.size());
  }
  return removed;
}

// ---- Linked calls --------------------------------------------------------------------------
// The same transmission heard by two radios: calls on different channels whose frequencies
// differ by less than kLinkToleranceHz and whose times overlap. Each of its calls keeps its row
// and file; `link_id` (the first stored call's id) groups them and `shown` marks the recording
// the list shows: the highest signal_max, the earlier stored on a tie (the one already shown
// and sent keeps its place). The shown call's search text holds the tags and display of every
// recording, so a search finds the transmission by any of them, once.

namespace {

// The statements of linking, prepared once (link_stmt).
enum LinkStmt { kPartners, kJoinGroup, kJoinCall, kMembers, kSetShown, kSetLink, kSetText, kLinkOf };

// A call's search text: its tags, and its display lines.
std::pair<std::string, std::string> search_text(const std::array<std::string, 4>& display) {
  std::string tags, lines;
  for (std::size_t i : {2u, 3u})
    if (!display[i].empty()) tags += (tags.empty() ? "" : " ") + display[i];
  for (const auto& d : display) lines += (lines.empty() ? "" : "\n") + d;
  return {tags, lines};
}

struct Member {
  std::int64_t id;
  std::array<std::string, 4> display;
};

}  // namespace

void CallStore::open_links() {
  bool has = false;
  {
    Stmt cols(db_, "SELECT COUNT(*) FROM pragma_table_info('calls') WHERE name = 'link_id'");
    if (!cols || sqlite3_step(cols.get()) != SQLITE_ROW) fail("open");
    has = sqlite3_column_int(cols.get(), 0) > 0;
  }
  // An index of an earlier version: the columns are added once, in one transaction.
  if (!has) {
    exec("BEGIN IMMEDIATE");
    for (const char* sql : {"ALTER TABLE calls ADD COLUMN link_id INTEGER NOT NULL DEFAULT 0",
                            "ALTER TABLE calls ADD COLUMN shown INTEGER NOT NULL DEFAULT 1"})
      if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail_rolled_back(sql);
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) fail_rolled_back("commit");
  }
  exec("CREATE INDEX IF NOT EXISTS calls_by_link ON calls (link_id)");
}

void CallStore::close_links() {
  for (auto& s : link_stmts_) {
    sqlite3_finalize(s);
    s = nullptr;
  }
}

sqlite3_stmt* CallStore::link_stmt(int which, const char* sql) {
  sqlite3_stmt*& s = link_stmts_[static_cast<std::size_t>(which)];
  if (!s && sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
    s = nullptr;
    fail_rolled_back("link");
  }
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return s;
}

void CallStore::set_search_text(std::int64_t id, const std::string& tags, const std::string& display) {
  sqlite3_stmt* s = link_stmt(kSetText, "UPDATE calls_text SET tags = ?2, display = ?3 WHERE rowid = ?1");
  sqlite3_bind_int64(s, 1, id);
  bind_text(s, 2, tags);
  bind_text(s, 3, display);
  if (sqlite3_step(s) != SQLITE_DONE) fail_rolled_back("link");
}

void CallStore::link_new(CallRecord& r) {
  r.link_id = 0;
  r.duplicate = false;
  r.shown = true;
  if (r.frequency_hz <= 0) return;
  // Calls ending after this one starts (the index on the end), then the rest of the test; the
  // times heard overlap when the stored times overlap by more than the margin.
  // ("+link_id": the index of the links covers every call from 0 up, and SQLite would walk it
  // instead of the ends.)
  sqlite3_stmt* s = link_stmt(kPartners,
                              "SELECT id, link_id FROM calls WHERE start_ms + duration_ms > ?1 AND start_ms < ?2 AND "
                              "channel != ?3 AND frequency_hz > ?4 AND frequency_hz < ?5 AND frequency_hz > 0 AND "
                              "id != ?6 AND +link_id >= 0 LIMIT 16");
  sqlite3_bind_int64(s, 1, r.start_ms + link_margin_ms);
  sqlite3_bind_int64(s, 2, r.start_ms + r.duration_ms - link_margin_ms);
  sqlite3_bind_int(s, 3, r.channel);
  sqlite3_bind_int64(s, 4, r.frequency_hz - kLinkToleranceHz);
  sqlite3_bind_int64(s, 5, r.frequency_hz + kLinkToleranceHz);
  sqlite3_bind_int64(s, 6, r.id);
  std::vector<std::int64_t> groups;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    const std::int64_t id = sqlite3_column_int64(s, 0), link = sqlite3_column_int64(s, 1);
    const std::int64_t group = link > 0 ? link : id;
    if (std::find(groups.begin(), groups.end(), group) == groups.end()) groups.push_back(group);
  }
  if (rc != SQLITE_DONE) fail_rolled_back("link");
  if (groups.empty()) return;
  // Partners already linked elsewhere: their transmissions become one, under the earliest.
  const std::int64_t g = *std::min_element(groups.begin(), groups.end());
  for (const std::int64_t k : groups) {
    s = link_stmt(kJoinGroup, "UPDATE calls SET link_id = ?1 WHERE link_id = ?2");
    sqlite3_bind_int64(s, 1, g);
    sqlite3_bind_int64(s, 2, k);
    if (sqlite3_step(s) != SQLITE_DONE) fail_rolled_back("link");
    s = link_stmt(kJoinCall, "UPDATE calls SET link_id = ?1 WHERE id = ?2");
    sqlite3_bind_int64(s, 1, g);
    sqlite3_bind_int64(s, 2, k);
    if (sqlite3_step(s) != SQLITE_DONE) fail_rolled_back("link");
  }
  s = link_stmt(kJoinCall, "UPDATE calls SET link_id = ?1 WHERE id = ?2");
  sqlite3_bind_int64(s, 1, g);
  sqlite3_bind_int64(s, 2, r.id);
  if (sqlite3_step(s) != SQLITE_DONE) fail_rolled_back("link");
  const std::int64_t best = relink(g);
  r.link_id = g;
  r.duplicate = true;
  r.shown = best == r.id;
}

std::int64_t CallStore::relink(std::int64_t g) {
  sqlite3_stmt* s = link_stmt(kMembers, "SELECT id, d1, d2, d3, d4 FROM calls WHERE link_id = ?1 ORDER BY signal_max DESC, id ASC");
  sqlite3_bind_int64(s, 1, g);
  std::vector<Member> members;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    Member m{sqlite3_column_int64(s, 0), {}};
    for (int i = 0; i < 4; ++i) m.display[static_cast<std::size_t>(i)] = text_col(s, 1 + i);
    members.push_back(std::move(m));
  }
  if (rc != SQLITE_DONE) fail_rolled_back("link");
  if (members.empty()) return 0;
  if (members.size() == 1) {
    // The only one left: a call heard alone again.
    s = link_stmt(kSetLink, "UPDATE calls SET link_id = ?2, shown = 1 WHERE id = ?1");
    sqlite3_bind_int64(s, 1, members[0].id);
    sqlite3_bind_int64(s, 2, 0);
    if (sqlite3_step(s) != SQLITE_DONE) fail_rolled_back("link");
    const auto [tags, lines] = search_text(members[0].display);
    set_search_text(members[0].id, tags, lines);
    return 0;
  }
  const std::int64_t best = members[0].id;
  s = link_stmt(kSetShown, "UPDATE calls SET shown = (id = ?2) WHERE link_id = ?1");
  sqlite3_bind_int64(s, 1, g);
  sqlite3_bind_int64(s, 2, best);
  if (sqlite3_step(s) != SQLITE_DONE) fail_rolled_back("link");
  std::string all_tags, all_lines;
  for (const auto& m : members) {
    const auto [tags, lines] = search_text(m.display);
    if (!tags.empty()) all_tags += (all_tags.empty() ? "" : " ") + tags;
    all_lines += (all_lines.empty() ? "" : "\n") + lines;
    if (m.id != best) set_search_text(m.id, tags, lines);
  }
  set_search_text(best, all_tags, all_lines);
  return best;
}

void CallStore::relink_removed(const std::vector<CallRecord>& rows) {
  std::set<std::int64_t> groups;
  for (const auto& r : rows)
    if (r.link_id > 0) groups.insert(r.link_id);
  for (const std::int64_t g : groups) relink(g);
}

std::vector<std::int64_t> CallStore::unlink(std::int64_t id) {
  exec("BEGIN IMMEDIATE");
  std::int64_t g = 0;
  {
    sqlite3_stmt* s = link_stmt(kLinkOf, "SELECT link_id FROM calls WHERE id = ?1");
    sqlite3_bind_int64(s, 1, id);
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) g = sqlite3_column_int64(s, 0);
    else if (rc != SQLITE_DONE) fail_rolled_back("unlink");
    sqlite3_reset(s);
  }
  std::vector<std::int64_t> ids;
  if (g <= 0) {
    rollback();
    return ids;
  }
  sqlite3_stmt* s = link_stmt(kMembers, "SELECT id, d1, d2, d3, d4 FROM calls WHERE link_id = ?1 ORDER BY signal_max DESC, id ASC");
  sqlite3_bind_int64(s, 1, g);
  std::vector<Member> members;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    Member m{sqlite3_column_int64(s, 0), {}};
    for (int i = 0; i < 4; ++i) m.display[static_cast<std::size_t>(i)] = text_col(s, 1 + i);
    members.push_back(std::move(m));
  }
  if (rc != SQLITE_DONE) fail_rolled_back("unlink");
  sqlite3_reset(s);
  for (const auto& m : members) {
    s = link_stmt(kSetLink, "UPDATE calls SET link_id = ?2, shown = 1 WHERE id = ?1");
    sqlite3_bind_int64(s, 1, m.id);
    sqlite3_bind_int64(s, 2, kKeptApart);
    if (sqlite3_step(s) != SQLITE_DONE) fail_rolled_back("unlink");
    const auto [tags, lines] = search_text(m.display);
    set_search_text(m.id, tags, lines);
    ids.push_back(m.id);
  }
  // Uploads held back because another recording went: each recording goes on its own now.
  int requeued = 0;
  Stmt queues(db_, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'upload_queue'");
  if (!queues || sqlite3_step(queues.get()) != SQLITE_ROW) fail_rolled_back("unlink");
  if (sqlite3_column_int(queues.get(), 0) > 0) {
    Stmt back(db_, "UPDATE upload_queue SET state = 0, reason = '' WHERE call_id = ? AND state = 5");
    for (const std::int64_t m : ids) {
      sqlite3_reset(back.get());
      sqlite3_bind_int64(back.get(), 1, m);
      if (!back || sqlite3_step(back.get()) != SQLITE_DONE) fail_rolled_back("unlink");
      requeued += sqlite3_changes(db_);
    }
  }
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) fail_rolled_back("commit");
  written();
  if (requeued > 0 && on_requeued) on_requeued();
  return ids;
}

std::vector<LinkedRecording> CallStore::linked_recordings(const std::vector<std::int64_t>& link_ids) {
  std::vector<LinkedRecording> out;
  if (link_ids.empty()) return out;
  std::string sql = "SELECT link_id, id, channel, signal_max, shown FROM calls WHERE link_id IN (?";
  for (std::size_t i = 1; i < link_ids.size(); ++i) sql += ",?";
  sql += ") ORDER BY link_id, signal_max DESC, id ASC";
  Stmt s(db_, sql);
  if (!s) fail("query");
  for (std::size_t i = 0; i < link_ids.size(); ++i) sqlite3_bind_int64(s.get(), static_cast<int>(i + 1), link_ids[i]);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
    out.push_back({sqlite3_column_int64(s.get(), 0), sqlite3_column_int64(s.get(), 1), sqlite3_column_int(s.get(), 2),
                   sqlite3_column_int(s.get(), 3), sqlite3_column_int(s.get(), 4) != 0});
  if (rc != SQLITE_DONE) fail("query");
  return out;
}

std::optional<std::int64_t> CallStore::upload_goes_as(const std::string& dest, const CallRecord& r) {
  if (r.link_id <= 0 || !uploads_open_) return std::nullopt;
  Stmt s(db_,
         "SELECT c.id, c.signal_max, q.state FROM calls c JOIN upload_queue q ON q.dest = ?1 AND q.call_id = c.id "
         "WHERE c.link_id = ?2 AND c.id != ?3 AND q.state IN (0, 1, 2) ORDER BY c.signal_max DESC, c.id ASC");
  if (!s) fail("upload queue");
  bind_text(s.get(), 1, dest);
  sqlite3_bind_int64(s.get(), 2, r.link_id);
  sqlite3_bind_int64(s.get(), 3, r.id);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    const std::int64_t id = sqlite3_column_int64(s.get(), 0);
    const int signal = sqlite3_column_int(s.get(), 1), state = sqlite3_column_int(s.get(), 2);
    // Already on its way or there; or waiting and the better recording (the same order as shown).
    if (state != kUploadQueued || signal > r.signal_max || (signal == r.signal_max && id < r.id)) return id;
  }
  if (rc != SQLITE_DONE) fail("upload queue");
  return std::nullopt;
}
std::string fts_match_expression(const std::string& text) { return match_expression(text); }

void CallStore::open_activity() {
  activity_ = std::make_unique<ActivityBook>(db_);
  activity_kept_ = activity_->open();
}

Activity CallStore::activity(const ActivityQuery& q) { return read_activity(db_, q); }

std::string rfc3339_ms(std::int64_t ms) {
  const std::time_t secs = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec, static_cast<int>(((ms % 1000) + 1000) % 1000));
  return buf;
}

std::optional<std::int64_t> parse_rfc3339(const std::string& t) {
  auto digits = [&](std::size_t pos, std::size_t n, int& out) {
    if (pos + n > t.size()) return false;
    out = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(t[i]))) return false;
      out = out * 10 + (t[i] - '0');
    }
    return true;
  };
  int y, mo, d, h, mi, s;
  if (!digits(0, 4, y) || t.size() < 20 || t[4] != '-' || !digits(5, 2, mo) || t[7] != '-' || !digits(8, 2, d) ||
      (t[10] != 'T' && t[10] != 't' && t[10] != ' ') || !digits(11, 2, h) || t[13] != ':' || !digits(14, 2, mi) || t[16] != ':' ||
      !digits(17, 2, s))
    return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
  std::size_t pos = 19;
  int frac_ms = 0;
  if (pos < t.size() && t[pos] == '.') {
    ++pos;
    int n = 0;
    int scale = 100;
    while (pos < t.size() && std::isdigit(static_cast<unsigned char>(t[pos]))) {
      if (n < 3) frac_ms += (t[pos] - '0') * scale, scale /= 10;
      ++pos, ++n;
    }
    if (n == 0 || n > 9) return std::nullopt;
  }
  int offset_min = 0;
  if (pos < t.size() && (t[pos] == 'Z' || t[pos] == 'z')) {
    ++pos;
  } else if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) {
    int oh, om;
    if (!digits(pos + 1, 2, oh) || pos + 3 >= t.size() || t[pos + 3] != ':' || !digits(pos + 4, 2, om) || oh > 23 || om > 59)
      return std::nullopt;
    offset_min = (oh * 60 + om) * (t[pos] == '+' ? 1 : -1);
    pos += 6;
  } else {
    return std::nullopt;
  }
  if (pos != t.size()) return std::nullopt;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  const std::time_t secs = ::timegm(&tm);
  return (static_cast<std::int64_t>(secs) - offset_min * 60LL) * 1000 + frac_ms;
}

}  // namespace quillon::calls
