// The alerts and their delivery queues, kept in the calls' index beside the calls (see alerts.hpp
// for what they mean): alerts holds each alert message, alert_queue per destination and alert its
// state and the last reason. The newest kAlertsKept alerts are kept; older ones go once nothing
// waits for them.

#include <sqlite3.h>

#include "calls/call_store.hpp"

namespace quillon::calls {

namespace {

constexpr std::int64_t kAlertsKept = 10000;

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
  int step() { return s_ ? sqlite3_step(s_) : SQLITE_ERROR; }

 private:
  sqlite3_stmt* s_ = nullptr;
};

std::string text_col(sqlite3_stmt* s, int i) {
  const auto* t = sqlite3_column_text(s, i);
  return t ? reinterpret_cast<const char*>(t) : "";
}

AlertRow read_alert(sqlite3_stmt* s) {
  AlertRow a;
  a.id = sqlite3_column_int64(s, 0);
  a.kind = text_col(s, 1);
  a.name = text_col(s, 2);
  a.channel = sqlite3_column_int(s, 3);
  a.at_ms = sqlite3_column_int64(s, 4);
  a.call_id = sqlite3_column_int64(s, 5);
  return a;
}

constexpr const char* kAlertColumns = "id, kind, name, channel, at_ms, call_id";

}  // namespace

void CallStore::create_alert_tables() {
  exec("CREATE TABLE IF NOT EXISTS alerts (id INTEGER PRIMARY KEY, kind TEXT NOT NULL, name TEXT NOT NULL, "
       "channel INTEGER NOT NULL, at_ms INTEGER NOT NULL, call_id INTEGER NOT NULL DEFAULT 0)");
  exec("CREATE INDEX IF NOT EXISTS alerts_by_call ON alerts (call_id) WHERE call_id != 0");
  exec("CREATE TABLE IF NOT EXISTS alert_queue (dest TEXT NOT NULL, alert_id INTEGER NOT NULL, state INTEGER NOT NULL, "
       "attempts INTEGER NOT NULL DEFAULT 0, reason TEXT NOT NULL DEFAULT '', PRIMARY KEY (dest, alert_id)) WITHOUT ROWID");
  exec("CREATE INDEX IF NOT EXISTS alert_queue_by_alert ON alert_queue (alert_id)");
  exec("CREATE INDEX IF NOT EXISTS alert_queue_waiting ON alert_queue (dest, alert_id) WHERE state = 0");
}

std::int64_t CallStore::add_alert(const AlertRow& a, const std::vector<std::string>& dests) {
  exec("BEGIN IMMEDIATE");
  Stmt ins(db_, "INSERT INTO alerts (kind, name, channel, at_ms, call_id) VALUES (?,?,?,?,?)");
  ins.bind(1, a.kind).bind(2, a.name).bind(3, a.channel).bind(4, a.at_ms).bind(5, a.call_id);
  if (ins.step() != SQLITE_DONE) fail_rolled_back("alerts");
  const std::int64_t id = sqlite3_last_insert_rowid(db_);
  for (const auto& d : dests) {
    Stmt q(db_, "INSERT INTO alert_queue (dest, alert_id, state) VALUES (?, ?, 0)");
    q.bind(1, d).bind(2, id);
    if (q.step() != SQLITE_DONE) fail_rolled_back("alerts");
  }
  // The oldest alerts go once nothing waits for them: the table stays bounded.
  Stmt old_queue(db_, "DELETE FROM alert_queue WHERE alert_id <= ? AND state NOT IN (0, 1)");
  old_queue.bind(1, id - kAlertsKept);
  Stmt old(db_, "DELETE FROM alerts WHERE id <= ? AND id NOT IN (SELECT alert_id FROM alert_queue)");
  old.bind(1, id - kAlertsKept);
  if (old_queue.step() != SQLITE_DONE || old.step() != SQLITE_DONE) fail_rolled_back("alerts");
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) fail_rolled_back("alerts: commit");
  written();
  return id;
}

std::vector<std::uint64_t> CallStore::start_alert_queues(const std::vector<std::string>& dests) {
  Stmt back(db_, "UPDATE alert_queue SET state = 0 WHERE state = 1");
  if (back.step() != SQLITE_DONE) fail("alert queue");
  written();
  std::vector<std::uint64_t> backlog;
  for (const auto& d : dests) {
    Stmt n(db_, "SELECT COUNT(*) FROM alert_queue INDEXED BY alert_queue_waiting WHERE dest = ? AND state = 0");
    n.bind(1, d);
    if (n.step() != SQLITE_ROW) fail("alert queue");
    backlog.push_back(static_cast<std::uint64_t>(sqlite3_column_int64(n.get(), 0)));
  }
  return backlog;
}

std::optional<std::int64_t> CallStore::next_alert(const std::string& dest) {
  Stmt s(db_, "SELECT alert_id FROM alert_queue INDEXED BY alert_queue_waiting WHERE dest = ? AND state = 0 ORDER BY alert_id LIMIT 1");
  s.bind(1, dest);
  const int rc = s.step();
  if (rc == SQLITE_ROW) return sqlite3_column_int64(s.get(), 0);
  if (rc != SQLITE_DONE) fail("alert queue");
  return std::nullopt;
}

std::optional<AlertRow> CallStore::get_alert(std::int64_t id) {
  Stmt s(db_, std::string("SELECT ") + kAlertColumns + " FROM alerts WHERE id = ?");
  s.bind(1, id);
  const int rc = s.step();
  if (rc == SQLITE_ROW) return read_alert(s.get());
  if (rc != SQLITE_DONE) fail("alerts");
  return std::nullopt;
}

void CallStore::set_alert_state(const std::string& dest, std::int64_t alert_id, int state, const std::string& reason) {
  Stmt s(db_, "UPDATE alert_queue SET state = ?, reason = ?, attempts = attempts + ? WHERE dest = ? AND alert_id = ?");
  s.bind(1, state).bind(2, reason).bind(3, state == kUploadSending ? 1 : 0).bind(4, dest).bind(5, alert_id);
  if (s.step() != SQLITE_DONE) fail("alert queue of " + dest);
  written();
}

std::vector<AlertRow> CallStore::recent_alerts(int limit, const std::array<bool, 4>& channels) {
  std::string list;
  for (int k = 0; k < 4; ++k)
    if (channels[static_cast<std::size_t>(k)]) list += (list.empty() ? "" : ",") + std::to_string(k + 1);
  std::vector<AlertRow> out;
  if (list.empty()) return out;
  Stmt s(db_, std::string("SELECT ") + kAlertColumns + " FROM alerts WHERE channel IN (" + list + ") ORDER BY id DESC LIMIT ?");
  s.bind(1, limit);
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) out.push_back(read_alert(s.get()));
  if (rc != SQLITE_DONE) fail("alerts");
  for (AlertRow& a : out) {
    Stmt d(db_, "SELECT dest, state, reason FROM alert_queue WHERE alert_id = ? ORDER BY dest");
    d.bind(1, a.id);
    while ((rc = d.step()) == SQLITE_ROW) {
      a.deliveries.emplace_back(text_col(d.get(), 0), sqlite3_column_int(d.get(), 1));
      a.reasons.push_back(text_col(d.get(), 2));
    }
    if (rc != SQLITE_DONE) fail("alert queue");
  }
  return out;
}

std::vector<std::int64_t> CallStore::alerted_calls(const std::vector<std::int64_t>& ids) {
  std::vector<std::int64_t> out;
  if (ids.empty()) return out;
  std::string sql = "SELECT DISTINCT call_id FROM alerts WHERE call_id IN (?";
  for (std::size_t i = 1; i < ids.size(); ++i) sql += ",?";
  sql += ")";
  Stmt s(db_, sql);
  for (std::size_t i = 0; i < ids.size(); ++i) s.bind(static_cast<int>(i + 1), ids[i]);
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) out.push_back(sqlite3_column_int64(s.get(), 0));
  if (rc != SQLITE_DONE) fail("alerts");
  return out;
}

}  // namespace quillon::calls
