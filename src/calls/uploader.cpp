#include "calls/uploader.hpp"

#include <sqlite3.h>
#include <sys/timex.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "calls/upload_mp3.hpp"
#include "calls/upload_protocols.hpp"
#include "core/log.hpp"

namespace quillon::calls {

namespace fs = std::filesystem;

namespace {

// A call's state for one destination, as stored.
enum CallState { kQueued = 0, kSending = 1, kDone = 2, kRefused = 3, kGivenUp = 4 };

const char* state_name(int s) {
  switch (s) {
    case kQueued: return "queued";
    case kSending: return "sending";
    case kDone: return "done";
    case kRefused: return "refused";
    case kGivenUp: return "given up";
  }
  return "unknown";
}

class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
  ~Stmt() { sqlite3_finalize(s_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  sqlite3_stmt* get() const { return s_; }
  explicit operator bool() const { return s_ != nullptr; }
  Stmt& bind(int i, std::int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Stmt& bind(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  bool row() { return s_ && sqlite3_step(s_) == SQLITE_ROW; }
  bool run() { return s_ && sqlite3_step(s_) == SQLITE_DONE; }

 private:
  sqlite3_stmt* s_ = nullptr;
};

std::string channel_list(const std::array<bool, 4>& ch) {
  std::string s;
  for (int k = 0; k < 4; ++k)
    if (ch[static_cast<std::size_t>(k)]) s += (s.empty() ? "" : ",") + std::to_string(k + 1);
  return s.empty() ? "0" : s;
}

}  // namespace

bool system_clock_synchronised() {
  struct timex tx {};
  const int r = ::adjtimex(&tx);
  return r != -1 && r != TIME_ERROR && (tx.status & STA_UNSYNC) == 0;
}

std::map<std::int64_t, nlohmann::json> upload_states(CallStore& store, const std::vector<std::int64_t>& ids) {
  std::map<std::int64_t, nlohmann::json> out;
  if (ids.empty()) return out;
  std::string sql = "SELECT call_id, dest, state, reason FROM upload_queue WHERE call_id IN (?";
  for (std::size_t i = 1; i < ids.size(); ++i) sql += ",?";
  sql += ") ORDER BY call_id, dest";
  Stmt s(store.db(), sql.c_str());
  if (!s) return out;  // no queues: nothing was ever uploaded
  for (std::size_t i = 0; i < ids.size(); ++i) s.bind(static_cast<int>(i + 1), ids[i]);
  while (s.row())
    out[sqlite3_column_int64(s.get(), 0)].push_back({{"destination", reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 1))},
                                                     {"state", state_name(sqlite3_column_int(s.get(), 2))},
                                                     {"reason", reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 3))}});
  return out;
}

struct Uploader::Destination {
  config::CallUpload cfg;
  UploadKind kind;
  std::unique_ptr<HttpClient> client;
  std::uint64_t generation = 0;  // answers of an abandoned request are ignored
  std::int64_t call_id = 0;      // the call in flight, 0: none
  std::string mp3;               // Broadcastify: the audio for the second step
  int agains = 0;                // one-time URLs in a row that failed
  EventLoop::TimerId timer = 0;  // back-off, clock wait or the request's deadline
  int backoff_ms = Uploader::kMinBackoffMs;
  bool waiting = false;          // a back-off or clock wait is running
  bool down = false;             // said so in the log
  bool clock_said = false;
  std::string paused;            // why nothing goes
  std::string state = "idle";
  std::string last_error;
  metrics::UploadFigures figures;
};

Uploader::Uploader(EventLoop& loop, CallStore& store, std::vector<config::CallUpload> destinations, UploaderOptions options)
    : loop_(loop), store_(store), options_(std::move(options)) {
  if (!options_.random) {
    auto rng = std::make_shared<std::mt19937>(std::random_device{}());
    options_.random = [rng] { return static_cast<std::uint32_t>((*rng)()); };
  }
  if (!options_.clock_synchronised) options_.clock_synchronised = system_clock_synchronised;
  exec("CREATE TABLE IF NOT EXISTS upload_queue (dest TEXT NOT NULL, call_id INTEGER NOT NULL, state INTEGER NOT NULL, "
       "attempts INTEGER NOT NULL DEFAULT 0, reason TEXT NOT NULL DEFAULT '', PRIMARY KEY (dest, call_id)) WITHOUT ROWID");
  exec("CREATE INDEX IF NOT EXISTS upload_queue_by_call ON upload_queue (call_id)");
  // The waiting calls apart from the many done ones: the next call is found without walking
  // every call a destination ever took (SQLite does not pick this index by itself).
  exec("CREATE INDEX IF NOT EXISTS upload_queue_waiting ON upload_queue (dest, call_id) WHERE state = 0");
  exec("CREATE TABLE IF NOT EXISTS upload_dests (name TEXT PRIMARY KEY, last_id INTEGER NOT NULL)");
  std::error_code ec;
  fs::create_directories(store_.dir() / "mp3", ec);
  for (auto& c : destinations) {
    auto d = std::make_unique<Destination>();
    d->kind = upload_kind(c);
    d->figures.destination = c.name;
    d->cfg = std::move(c);
    dests_.push_back(std::move(d));
  }
  store_.held = [this](const CallRecord& r) { return held(r); };
}

Uploader::~Uploader() {
  stop();
  store_.held = nullptr;
}

void Uploader::exec(const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(store_.db(), sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    StoreError e("upload queue: " + std::string(err ? err : "failed"));
    sqlite3_free(err);
    throw e;
  }
}

std::int64_t Uploader::now_ms() const {
  return std::chrono::duration_cast<Millis>(loop_.wall_now().time_since_epoch()).count();
}

void Uploader::start() {
  if (running_) return;
  running_ = true;
  sqlite3* db = store_.db();
  try {
    exec("BEGIN IMMEDIATE");
    // What was being sent when the last run ended was not acknowledged: it goes again.
    exec("UPDATE upload_queue SET state = 0 WHERE state = 1");
    // Entries of calls retention removed.
    exec("DELETE FROM upload_queue WHERE call_id NOT IN (SELECT id FROM calls)");
    for (auto& d : dests_) {
      // A new destination takes the calls from now on, not the past.
      Stmt(db, "INSERT OR IGNORE INTO upload_dests (name, last_id) VALUES (?, (SELECT IFNULL(MAX(id), 0) FROM calls))")
          .bind(1, d->cfg.name)
          .run();
      // Calls stored after the last one queued (a crash in between).
      const std::string chans = channel_list(d->cfg.channels);
      Stmt q(db, ("INSERT OR IGNORE INTO upload_queue (dest, call_id, state) SELECT ?, id, 0 FROM calls WHERE id > "
                  "(SELECT last_id FROM upload_dests WHERE name = ?) AND channel IN (" + chans + ")").c_str());
      q.bind(1, d->cfg.name).bind(2, d->cfg.name).run();
      Stmt(db, "UPDATE upload_dests SET last_id = (SELECT IFNULL(MAX(id), 0) FROM calls) WHERE name = ?").bind(1, d->cfg.name).run();
      Stmt n(db, "SELECT COUNT(*) FROM upload_queue INDEXED BY upload_queue_waiting WHERE dest = ? AND state = 0");
      n.bind(1, d->cfg.name);
      d->figures.backlog = n.row() ? static_cast<std::uint64_t>(sqlite3_column_int64(n.get(), 0)) : 0;
    }
    exec("COMMIT");
  } catch (const StoreError& e) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    log::warning(std::string(e.what()) + "; uploads wait for the next start");
    return;
  }
  for (auto& d : dests_) {
    if (d->figures.backlog > 0) log::info("uploads to " + d->cfg.name + ": " + std::to_string(d->figures.backlog) + " calls waiting");
    pump(*d);
  }
}

void Uploader::stop() {
  running_ = false;
  for (auto& d : dests_) {
    ++d->generation;
    if (d->client) d->client->cancel();
    loop_.cancel(d->timer);
    d->timer = 0;
    d->waiting = false;
    d->call_id = 0;
  }
}

void Uploader::stored(const CallRecord& r) {
  if (!running_) return;
  sqlite3* db = store_.db();
  for (auto& d : dests_) {
    if (r.channel < 1 || r.channel > 4 || !d->cfg.channels[static_cast<std::size_t>(r.channel - 1)]) continue;
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) continue;
    const bool ok = Stmt(db, "INSERT OR IGNORE INTO upload_queue (dest, call_id, state) VALUES (?, ?, 0)").bind(1, d->cfg.name).bind(2, r.id).run() &&
                    Stmt(db, "UPDATE upload_dests SET last_id = MAX(last_id, ?) WHERE name = ?").bind(1, r.id).bind(2, d->cfg.name).run();
    // A failed entry is found again at the next start (its id is above last_id).
    if (!ok || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      continue;
    }
    ++d->figures.backlog;
    pump(*d);
  }
}

void Uploader::pump(Destination& d) {
  if (!running_ || d.call_id != 0 || d.waiting || !d.paused.empty()) return;
  sqlite3* db = store_.db();
  for (;;) {
    Stmt next(db, "SELECT call_id FROM upload_queue INDEXED BY upload_queue_waiting WHERE dest = ? AND state = 0 ORDER BY call_id LIMIT 1");
    next.bind(1, d.cfg.name);
    if (!next.row()) {
      d.state = "idle";
      d.figures.backlog = 0;
      return;
    }
    const std::int64_t id = sqlite3_column_int64(next.get(), 0);
    auto r = store_.get(id);
    d.call_id = id;
    if (!r) {  // gone meanwhile
      finish_call(d, kGivenUp, "the call was removed before it went");
      continue;
    }
    if (d.kind == UploadKind::Broadcastify && !options_.clock_synchronised()) {
      d.call_id = 0;
      const std::string why = "the system clock is not synchronised; Broadcastify needs the correct time";
      if (!d.clock_said) log::warning("uploads to " + d.cfg.name + " wait: " + why);
      d.clock_said = true;
      d.state = "waiting: " + why;
      d.last_error = why;
      d.waiting = true;
      d.timer = loop_.call_after(Millis(kClockCheckMs), [this, &d] {
        d.timer = 0;
        d.waiting = false;
        pump(d);
      });
      return;
    }
    if (d.clock_said) {
      d.clock_said = false;
      log::info("uploads to " + d.cfg.name + " go on: the system clock is synchronised");
    }
    send_first(d, *r);
    return;
  }
}

std::string Uploader::mp3_of(const CallRecord& r) {
  const fs::path cached = store_.dir() / "mp3" / (std::to_string(r.id) + ".mp3");
  std::ifstream in(cached, std::ios::binary);
  if (in) {
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string mp3 = opus_file_to_mp3(store_.dir() / r.file);
  // Kept for the other destinations; a lost cache only costs encoding again.
  const fs::path tmp = cached.string() + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(mp3.data(), static_cast<std::streamsize>(mp3.size()));
    if (!out) return mp3;
  }
  std::error_code ec;
  fs::rename(tmp, cached, ec);
  return mp3;
}

void Uploader::send_first(Destination& d, const CallRecord& r) {
  std::string audio;
  try {
    if (takes_mp3(d.cfg)) {
      audio = mp3_of(r);
    } else {
      std::ifstream in(store_.dir() / r.file, std::ios::binary);
      if (!in) throw std::runtime_error("cannot read " + r.file);
      std::stringstream ss;
      ss << in.rdbuf();
      audio = ss.str();
    }
  } catch (const std::exception& e) {
    log::warning("uploads to " + d.cfg.name + ": call " + std::to_string(r.id) + " cannot be sent: " + e.what());
    finish_call(d, kRefused, e.what());
    loop_.post([this, &d] { pump(d); });
    return;
  }
  set_state(d, kSending, "");
  d.state = "sending call " + std::to_string(r.id);
  HttpRequest req = first_request(d.cfg, r, audio, options_.random());
  d.mp3 = d.kind == UploadKind::Broadcastify ? std::move(audio) : std::string();
  send(d, req, false);
}

void Uploader::send(Destination& d, const HttpRequest& req, bool put) {
  if (!d.client) d.client = options_.make_client();
  const auto gen = ++d.generation;
  d.timer = loop_.call_after(Millis(kRequestTimeoutMs), [this, &d, gen] {
    if (gen != d.generation) return;
    d.timer = 0;
    ++d.generation;
    d.client->cancel();
    answered(d, {0, "", "no answer within " + std::to_string(kRequestTimeoutMs / 1000) + " s"}, false);
  });
  d.client->send(req, [this, &d, gen, put](HttpAnswer a) {
    if (gen != d.generation) return;
    loop_.cancel(d.timer);
    d.timer = 0;
    answered(d, a, put);
  });
}

void Uploader::answered(Destination& d, const HttpAnswer& a, bool put) {
  if (d.call_id == 0) return;
  const Verdict v = put ? judge_put(a) : judge_first(d.kind, a);
  switch (v.kind) {
    case Verdict::Done:
      ++d.figures.uploaded;
      d.backoff_ms = kMinBackoffMs;
      d.agains = 0;
      if (d.down) log::info("uploads to " + d.cfg.name + " go through again");
      d.down = false;
      d.mp3.clear();
      finish_call(d, kDone, "");
      break;
    case Verdict::PutAudio:
      send(d, audio_put(v.url, d.mp3), true);
      return;
    case Verdict::Again:
      ++d.figures.failures;
      if (++d.agains <= 3) {
        d.last_error = v.text;
        set_state(d, kQueued, v.text);
        d.call_id = 0;
        break;
      }
      d.agains = 0;
      retry(d, v.text);
      return;
    case Verdict::Retry:
      ++d.figures.failures;
      retry(d, v.text);
      return;
    case Verdict::Refused:
      ++d.figures.refused;
      d.last_error = v.text;
      log::warning("uploads to " + d.cfg.name + ": call " + std::to_string(d.call_id) + " refused: " + v.text);
      finish_call(d, kRefused, v.text);
      break;
    case Verdict::Pause:
      ++d.figures.failures;
      d.paused = v.text;
      d.figures.paused = true;
      d.last_error = v.text;
      d.state = "paused: " + v.text;
      log::warning("uploads to " + d.cfg.name + " paused: " + v.text + "; check the key and the settings, then restart");
      set_state(d, kQueued, v.text);
      d.call_id = 0;
      return;
  }
  loop_.post([this, &d] { pump(d); });
}

void Uploader::retry(Destination& d, const std::string& why) {
  d.last_error = why;
  if (!d.down) log::warning("uploads to " + d.cfg.name + " fail: " + why + "; retrying in the background");
  d.down = true;
  set_state(d, kQueued, why);
  d.call_id = 0;
  // Jitter: between 3/4 and 5/4 of the back-off, so many boxes do not come back together.
  const int spread = d.backoff_ms / 2;
  const int delay = d.backoff_ms - spread / 2 + static_cast<int>(options_.random() % static_cast<std::uint32_t>(spread + 1));
  d.state = "retrying in " + std::to_string((delay + 999) / 1000) + " s: " + why;
  d.backoff_ms = std::min(d.backoff_ms * 2, kMaxBackoffMs);
  d.waiting = true;
  d.timer = loop_.call_after(Millis(delay), [this, &d] {
    d.timer = 0;
    d.waiting = false;
    pump(d);
  });
}

void Uploader::set_state(Destination& d, int call_state, const std::string& reason) {
  Stmt s(store_.db(), "UPDATE upload_queue SET state = ?, reason = ?, attempts = attempts + ? WHERE dest = ? AND call_id = ?");
  s.bind(1, call_state).bind(2, reason).bind(3, call_state == kSending ? 1 : 0).bind(4, d.cfg.name).bind(5, d.call_id);
  if (!s.run()) log::warning("upload queue of " + d.cfg.name + ": " + sqlite3_errmsg(store_.db()));
}

void Uploader::finish_call(Destination& d, int state, const std::string& reason) {
  set_state(d, state, reason);
  if (state == kGivenUp) ++d.figures.given_up;
  if (d.figures.backlog > 0) --d.figures.backlog;
  const std::int64_t id = d.call_id;
  d.call_id = 0;
  drop_mp3_if_unneeded(id);
}

void Uploader::drop_mp3_if_unneeded(std::int64_t call_id) {
  Stmt s(store_.db(), "SELECT 1 FROM upload_queue WHERE call_id = ? AND state IN (0, 1) LIMIT 1");
  s.bind(1, call_id);
  if (s.row()) return;
  std::error_code ec;
  fs::remove(store_.dir() / "mp3" / (std::to_string(call_id) + ".mp3"), ec);
}

bool Uploader::held(const CallRecord& r) {
  Stmt s(store_.db(), "SELECT dest FROM upload_queue WHERE call_id = ? AND state IN (0, 1)");
  s.bind(1, r.id);
  std::vector<std::string> waiting;
  while (s.row()) waiting.push_back(reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0)));
  if (waiting.empty()) return false;
  const bool too_old = options_.keep_days > 0 && r.start_ms < now_ms() - static_cast<std::int64_t>(options_.keep_days) * 86400000LL;
  if (!too_old) return true;
  for (auto& d : dests_) {
    if (std::find(waiting.begin(), waiting.end(), d->cfg.name) == waiting.end()) continue;
    if (d->call_id == r.id) {  // in flight: its answer no longer matters
      ++d->generation;
      if (d->client) d->client->cancel();
      loop_.cancel(d->timer);
      d->timer = 0;
      finish_call(*d, kGivenUp, "waited longer than keep_days");
      loop_.post([this, dp = d.get()] { pump(*dp); });
      continue;
    }
    ++d->figures.given_up;
    if (d->figures.backlog > 0) --d->figures.backlog;
  }
  Stmt(store_.db(), "UPDATE upload_queue SET state = 4, reason = 'waited longer than keep_days' WHERE call_id = ? AND state IN (0, 1)")
      .bind(1, r.id)
      .run();
  std::error_code ec;
  fs::remove(store_.dir() / "mp3" / (std::to_string(r.id) + ".mp3"), ec);
  return false;
}

nlohmann::json Uploader::status_json() const {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& d : dests_)
    list.push_back({{"name", d->cfg.name},
                    {"type", d->cfg.type},
                    {"state", d->state},
                    {"backlog", d->figures.backlog},
                    {"uploaded", d->figures.uploaded},
                    {"failures", d->figures.failures},
                    {"refused", d->figures.refused},
                    {"given_up", d->figures.given_up},
                    {"last_error", d->last_error},
                    {"paused", d->paused.empty() ? nlohmann::json(nullptr) : nlohmann::json(d->paused)}});
  // Where the newest calls went, for the Calls page.
  nlohmann::json recent = nlohmann::json::array();
  Stmt s(store_.db(),
         "SELECT call_id, dest, state, reason FROM upload_queue WHERE call_id IN "
         "(SELECT DISTINCT call_id FROM upload_queue ORDER BY call_id DESC LIMIT 50) ORDER BY call_id DESC, dest");
  while (s.row())
    recent.push_back({{"call", sqlite3_column_int64(s.get(), 0)},
                      {"destination", reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 1))},
                      {"state", state_name(sqlite3_column_int(s.get(), 2))},
                      {"reason", reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 3))}});
  return {{"destinations", list}, {"calls", recent}};
}

nlohmann::json Uploader::call_json(std::int64_t id) const {
  nlohmann::json list = nlohmann::json::array();
  Stmt s(store_.db(), "SELECT dest, state, reason FROM upload_queue WHERE call_id = ? ORDER BY dest");
  s.bind(1, id);
  while (s.row())
    list.push_back({{"destination", reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0))},
                    {"state", state_name(sqlite3_column_int(s.get(), 1))},
                    {"reason", reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 2))}});
  return list;
}

std::vector<metrics::UploadFigures> Uploader::figures() const {
  std::vector<metrics::UploadFigures> out;
  for (const auto& d : dests_) out.push_back(d->figures);
  return out;
}

}  // namespace quillon::calls
