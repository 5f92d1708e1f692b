#include "calls/call_store.hpp"

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
    "file, bytes";

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
    create_alert_tables();
    if (sqlite3_prepare_v2(db_,
                           "INSERT INTO calls (site, channel, start_ms, duration_ms, frequency_hz, modulation, d1, d2, d3, d4, "
                           "signal_max, tone, part, prev_id, file, bytes) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                           -1, &insert_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, "INSERT INTO calls_text (rowid, tags, display) VALUES (?,?,?)", -1, &insert_text_, nullptr) !=
            SQLITE_OK)
      fail("prepare");
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
    sqlite3_finalize(insert_);
    sqlite3_finalize(insert_text_);
    sqlite3_close(db_);
    throw;
  }
}

CallStore::~CallStore() {
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
  if (q.channel) sql += " AND channel = :channel";
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
