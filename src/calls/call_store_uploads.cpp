// The upload queues of the call servers, kept in the calls' index beside the calls (see
// uploader.hpp for what they mean): upload_queue holds per destination and call its state and
// the last reason, upload_dests the last call id each destination queued.

#include <sqlite3.h>

#include "calls/call_store.hpp"

namespace quillon::calls {

namespace {

class Stmt {
 public:
  Stmt(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &s_, nullptr); }
  ~Stmt() { sqlite3_finalize(s_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  sqlite3_stmt* get() const { return s_; }
  Stmt& bind(int i, std::int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Stmt& bind(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or the error (also when preparing failed).
  int step() { return s_ ? sqlite3_step(s_) : SQLITE_ERROR; }

 private:
  sqlite3_stmt* s_ = nullptr;
};

std::string text_col(sqlite3_stmt* s, int i) {
  const auto* t = sqlite3_column_text(s, i);
  return t ? reinterpret_cast<const char*>(t) : "";
}

std::string channel_list(const std::array<bool, 4>& ch) {
  std::string s;
  for (int k = 0; k < 4; ++k)
    if (ch[static_cast<std::size_t>(k)]) s += (s.empty() ? "" : ",") + std::to_string(k + 1);
  return s.empty() ? "0" : s;
}

}  // namespace

const char* upload_state_name(int s) {
  switch (s) {
    case kUploadQueued: return "queued";
    case kUploadSending: return "sending";
    case kUploadDone: return "done";
    case kUploadRefused: return "refused";
    case kUploadGivenUp: return "given up";
    case kUploadLinked: return "linked";
  }
  return "unknown";
}

void CallStore::open_upload_queues() {
  exec("CREATE TABLE IF NOT EXISTS upload_queue (dest TEXT NOT NULL, call_id INTEGER NOT NULL, state INTEGER NOT NULL, "
       "attempts INTEGER NOT NULL DEFAULT 0, reason TEXT NOT NULL DEFAULT '', PRIMARY KEY (dest, call_id)) WITHOUT ROWID");
  exec("CREATE INDEX IF NOT EXISTS upload_queue_by_call ON upload_queue (call_id)");
  // The waiting calls apart from the many done ones: the next call is found without walking
  // every call a destination ever took (SQLite does not pick this index by itself).
  exec("CREATE INDEX IF NOT EXISTS upload_queue_waiting ON upload_queue (dest, call_id) WHERE state = 0");
  exec("CREATE TABLE IF NOT EXISTS upload_dests (name TEXT PRIMARY KEY, last_id INTEGER NOT NULL)");
  uploads_open_ = true;
}

std::vector<std::uint64_t> CallStore::start_upload_queues(const std::vector<UploadDest>& dests) {
  std::vector<std::uint64_t> backlog;
  exec("BEGIN IMMEDIATE");
  auto run = [&](Stmt& s, const char* what) {
    if (s.step() != SQLITE_DONE) fail_rolled_back(what);
  };
  {
    Stmt back(db_, "UPDATE upload_queue SET state = 0 WHERE state = 1");
    run(back, "upload queue");
    Stmt orphans(db_, "DELETE FROM upload_queue WHERE call_id NOT IN (SELECT id FROM calls)");
    run(orphans, "upload queue");
    for (const auto& d : dests) {
      Stmt add(db_, "INSERT OR IGNORE INTO upload_dests (name, last_id) VALUES (?, (SELECT IFNULL(MAX(id), 0) FROM calls))");
      add.bind(1, d.name);
      run(add, "upload queue");
      Stmt n(db_, "SELECT COUNT(*) FROM upload_queue INDEXED BY upload_queue_waiting WHERE dest = ? AND state = 0");
      n.bind(1, d.name);
      backlog.push_back(n.step() == SQLITE_ROW ? static_cast<std::uint64_t>(sqlite3_column_int64(n.get(), 0)) : 0);
    }
  }
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) fail_rolled_back("upload queue: commit");
  written();
  for (std::size_t i = 0; i < dests.size(); ++i) backlog[i] += queue_new_calls(dests[i]);
  return backlog;
}

std::uint64_t CallStore::queue_new_calls(const UploadDest& d) {
  exec("BEGIN IMMEDIATE");
  Stmt q(db_, "INSERT OR IGNORE INTO upload_queue (dest, call_id, state) SELECT ?, id, 0 FROM calls WHERE id > "
              "(SELECT last_id FROM upload_dests WHERE name = ?) AND channel IN (" + channel_list(d.channels) + ")");
  q.bind(1, d.name).bind(2, d.name);
  Stmt last(db_, "UPDATE upload_dests SET last_id = (SELECT IFNULL(MAX(id), 0) FROM calls) WHERE name = ?");
  last.bind(1, d.name);
  std::uint64_t added = 0;
  const bool ok = q.step() == SQLITE_DONE && (added = static_cast<std::uint64_t>(sqlite3_changes(db_)), last.step() == SQLITE_DONE) &&
                  sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) fail_rolled_back("upload queue");
  written();
  return added;
}

std::optional<std::int64_t> CallStore::next_upload(const std::string& dest) {
  Stmt s(db_, "SELECT call_id FROM upload_queue INDEXED BY upload_queue_waiting WHERE dest = ? AND state = 0 ORDER BY call_id LIMIT 1");
  s.bind(1, dest);
  const int rc = s.step();
  if (rc == SQLITE_ROW) return sqlite3_column_int64(s.get(), 0);
  if (rc != SQLITE_DONE) fail("upload queue");
  return std::nullopt;
}

void CallStore::set_upload_state(const std::string& dest, std::int64_t call_id, int state, const std::string& reason) {
  Stmt s(db_, "UPDATE upload_queue SET state = ?, reason = ?, attempts = attempts + ? WHERE dest = ? AND call_id = ?");
  s.bind(1, state).bind(2, reason).bind(3, state == kUploadSending ? 1 : 0).bind(4, dest).bind(5, call_id);
  if (s.step() != SQLITE_DONE) fail("upload queue of " + dest);
  written();
}

std::vector<std::string> CallStore::uploads_waiting(std::int64_t call_id) {
  std::vector<std::string> out;
  if (!uploads_open_) return out;
  Stmt s(db_, "SELECT dest FROM upload_queue WHERE call_id = ? AND state IN (0, 1)");
  s.bind(1, call_id);
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) out.push_back(text_col(s.get(), 0));
  if (rc != SQLITE_DONE) fail("upload queue");
  return out;
}

void CallStore::give_up_uploads(std::int64_t call_id, const std::string& reason) {
  Stmt s(db_, "UPDATE upload_queue SET state = 4, reason = ? WHERE call_id = ? AND state IN (0, 1)");
  s.bind(1, reason).bind(2, call_id);
  if (s.step() != SQLITE_DONE) fail("upload queue");
  written();
}

std::vector<UploadEntry> CallStore::upload_entries(const std::vector<std::int64_t>& ids) {
  std::vector<UploadEntry> out;
  if (ids.empty()) return out;
  std::string sql = "SELECT call_id, dest, state, reason FROM upload_queue WHERE call_id IN (?";
  for (std::size_t i = 1; i < ids.size(); ++i) sql += ",?";
  sql += ") ORDER BY call_id, dest";
  Stmt s(db_, sql);
  if (!s.get()) {
    // Without queues (no call server was ever configured) nothing was uploaded.
    if (std::string(sqlite3_errmsg(db_)).find("no such table") != std::string::npos) return out;
    fail("upload queue");
  }
  for (std::size_t i = 0; i < ids.size(); ++i) s.bind(static_cast<int>(i + 1), ids[i]);
  int rc;
  while ((rc = s.step()) == SQLITE_ROW)
    out.push_back({sqlite3_column_int64(s.get(), 0), text_col(s.get(), 1), sqlite3_column_int(s.get(), 2), text_col(s.get(), 3)});
  if (rc != SQLITE_DONE) fail("upload queue");
  return out;
}

std::vector<UploadEntry> CallStore::recent_uploads(int calls) {
  std::vector<UploadEntry> out;
  Stmt s(db_,
         "SELECT call_id, dest, state, reason FROM upload_queue WHERE call_id IN "
         "(SELECT DISTINCT call_id FROM upload_queue ORDER BY call_id DESC LIMIT ?) ORDER BY call_id DESC, dest");
  if (!s.get()) fail("upload queue");
  s.bind(1, calls);
  int rc;
  while ((rc = s.step()) == SQLITE_ROW)
    out.push_back({sqlite3_column_int64(s.get(), 0), text_col(s.get(), 1), sqlite3_column_int(s.get(), 2), text_col(s.get(), 3)});
  if (rc != SQLITE_DONE) fail("upload queue");
  return out;
}

}  // namespace quillon::calls
