#include "calls/call_activity.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <unordered_map>

namespace quillon::calls {

namespace {

// Longer than any call (as the index's own range walks assume).
constexpr std::int64_t kLongestCallMs = 3700LL * 1000;
// The rebuild keeps at most this many buckets in memory before adding them to the table.
constexpr std::size_t kRebuildBatch = 100'000;

bool busy_code(int code) { return (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED; }

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
  void bind(const char* name, std::int64_t v) { sqlite3_bind_int64(s_, sqlite3_bind_parameter_index(s_, name), v); }
  void bind(const char* name, const std::string& v) {
    sqlite3_bind_text(s_, sqlite3_bind_parameter_index(s_, name), v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }

 private:
  sqlite3_stmt* s_ = nullptr;
};

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
  StoreError e("activity: " + what + ": " + sqlite3_errmsg(db));
  const int code = sqlite3_extended_errcode(db);
  e.busy = busy_code(code);
  e.disk_full = (code & 0xff) == SQLITE_FULL;
  throw e;
}

std::string text_col(sqlite3_stmt* s, int i) {
  const auto* t = sqlite3_column_text(s, i);
  return t ? reinterpret_cast<const char*>(t) : "";
}

void assign_text(std::string& out, sqlite3_stmt* s, int i) {
  const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
  if (t)
    out.assign(t, static_cast<std::size_t>(sqlite3_column_bytes(s, i)));
  else
    out.clear();
}

void bind_text(sqlite3_stmt* s, int i, const std::string& v) {
  sqlite3_bind_text(s, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

std::int64_t hour_of(std::int64_t ms) { return ms >= 0 ? ms / kHourMs : (ms - kHourMs + 1) / kHourMs; }

// A call's share of each hour it covers: calls in the first, airtime in each.
template <typename F>
void each_hour(std::int64_t start_ms, std::int64_t duration_ms, F&& f) {
  const std::int64_t end = start_ms + std::max<std::int64_t>(0, duration_ms);
  std::int64_t h = hour_of(start_ms);
  bool first = true;
  for (;;) {
    const std::int64_t a = std::max(start_ms, h * kHourMs), b = std::min(end, (h + 1) * kHourMs);
    if (first || b > a) f(h, first ? 1 : 0, b - a);
    first = false;
    if (end <= (h + 1) * kHourMs) break;
    ++h;
  }
}

struct GroupKey {
  std::int64_t frequency_hz;
  std::string tag1, tag2;
  bool operator==(const GroupKey&) const = default;
};
struct GroupHash {
  std::size_t operator()(const GroupKey& k) const {
    return std::hash<std::int64_t>()(k.frequency_hz) ^ (std::hash<std::string>()(k.tag1) * 31) ^ (std::hash<std::string>()(k.tag2) * 131);
  }
};

// The id range holding every call that starts in [from, to): ids grow with the calls' ends.
std::pair<std::int64_t, std::int64_t> id_range(sqlite3* db, std::int64_t from_ms, std::int64_t to_ms) {
  auto bound = [&](const char* sql, std::int64_t t, std::int64_t none) -> std::int64_t {
    Stmt s(db, sql);
    if (!s) fail(db, "query");
    sqlite3_bind_int64(s.get(), 1, t);
    const int rc = sqlite3_step(s.get());
    if (rc == SQLITE_ROW) return sqlite3_column_int64(s.get(), 0);
    if (rc != SQLITE_DONE) fail(db, "query");
    return none;
  };
  const std::int64_t lo =
      bound("SELECT id FROM calls WHERE start_ms + duration_ms >= ? ORDER BY start_ms + duration_ms LIMIT 1", from_ms, INT64_MAX);
  const std::int64_t hi = bound("SELECT id FROM calls WHERE start_ms + duration_ms < ? ORDER BY start_ms + duration_ms DESC LIMIT 1",
                                to_ms + kLongestCallMs, 0);
  return {lo, hi};
}

// The calls starting in [from, to) under the question's filters, each handed to `f` (channel,
// start, duration, frequency, tag1, tag2, id), in id order.
template <typename F>
void walk_calls(sqlite3* db, const ActivityQuery& q, std::int64_t from_ms, std::int64_t to_ms, bool newest_first, F&& f) {
  const auto [lo, hi] = id_range(db, from_ms, to_ms);
  if (lo > hi) return;
  const std::string match = fts_match_expression(q.text);
  std::string sql = "SELECT calls.id, channel, start_ms, duration_ms, frequency_hz, d3, d4 FROM ";
  sql += match.empty() ? "calls WHERE id BETWEEN :lo AND :hi"
                       : "calls_text CROSS JOIN calls ON calls.id = calls_text.rowid WHERE calls_text MATCH :match "
                         "AND calls_text.rowid BETWEEN :lo AND :hi";
  sql += " AND start_ms >= :from AND start_ms < :to";
  if (q.channel) sql += " AND channel = :channel";
  if (q.frequency_hz) sql += " AND frequency_hz = :frequency";
  sql += match.empty() ? " ORDER BY id" : " ORDER BY calls_text.rowid";
  if (newest_first) sql += " DESC";
  Stmt s(db, sql);
  if (!s) fail(db, "query");
  s.bind(":lo", lo);
  s.bind(":hi", hi);
  s.bind(":from", from_ms);
  s.bind(":to", to_ms);
  if (q.channel) s.bind(":channel", *q.channel);
  if (q.frequency_hz) s.bind(":frequency", *q.frequency_hz);
  if (!match.empty()) s.bind(":match", match);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    if (!f(sqlite3_column_int64(s.get(), 0), sqlite3_column_int(s.get(), 1), sqlite3_column_int64(s.get(), 2),
           sqlite3_column_int64(s.get(), 3), sqlite3_column_int64(s.get(), 4), text_col(s.get(), 5), text_col(s.get(), 6)))
      break;
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail(db, "query");
}

// Hours and groups from the kept tables.
void read_tables(sqlite3* db, const ActivityQuery& q, Activity& a) {
  const std::int64_t h0 = hour_of(q.from_ms), h1 = hour_of(q.to_ms);
  {
    // Without a frequency the small table answers; with one, the frequency's own buckets.
    std::string sql = q.frequency_hz ? "SELECT hour, SUM(calls), SUM(airtime_ms) FROM activity_hours WHERE frequency_hz = :frequency"
                                     : "SELECT hour, SUM(calls), SUM(airtime_ms) FROM activity_channel_hours WHERE 1";
    sql += " AND hour BETWEEN :h0 AND :h1";
    if (q.channel) sql += " AND channel = :channel";
    sql += " GROUP BY hour ORDER BY hour";
    Stmt s(db, sql);
    if (!s) fail(db, "query");
    s.bind(":h0", h0);
    s.bind(":h1", h1);
    if (q.channel) s.bind(":channel", *q.channel);
    if (q.frequency_hz) s.bind(":frequency", *q.frequency_hz);
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
      a.hours.push_back({sqlite3_column_int64(s.get(), 0), sqlite3_column_int64(s.get(), 1), sqlite3_column_int64(s.get(), 2)});
    if (rc != SQLITE_DONE) fail(db, "query");
  }
  // The buckets of the period, summed here (cheaper than a GROUP BY's sort): whole UTC days before
  // the recent hours from the day table, the ragged ends from the hour table. Hours wholly at or
  // after recent_ms are recent; the hour holding it is counted with the older ones and looked at
  // call by call below.
  const std::int64_t recent_hour = hour_of(q.recent_ms) + 1;
  const std::int64_t d0 = (h0 + 23) / 24, d1 = std::min((h1 + 1) / 24, recent_hour / 24);  // whole days [d0, d1)
  std::unordered_map<GroupKey, std::size_t, GroupHash> at;
  auto scan = [&](const char* table, const char* unit, std::int64_t lo, std::int64_t hi) {
    std::string sql = std::string("SELECT frequency_hz, tag1, tag2, calls, airtime_ms, last_ms, ") + unit + " FROM " + table + " WHERE " +
                      unit + " BETWEEN :lo AND :hi";
    if (q.channel) sql += " AND channel = :channel";
    if (q.frequency_hz) sql += " AND frequency_hz = :frequency";
    Stmt s(db, sql);
    if (!s) fail(db, "query");
    s.bind(":lo", lo);
    s.bind(":hi", hi);
    if (q.channel) s.bind(":channel", *q.channel);
    if (q.frequency_hz) s.bind(":frequency", *q.frequency_hz);
    const bool hourly = std::string(unit) == "hour";
    int rc;
    GroupKey key{0, {}, {}};
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
      key.frequency_hz = sqlite3_column_int64(s.get(), 0);
      assign_text(key.tag1, s.get(), 1);
      assign_text(key.tag2, s.get(), 2);
      auto it = at.find(key);
      if (it == at.end()) {
        if (a.groups.size() >= kMaxGroups) {
          a.groups_cut = true;
          continue;
        }
        it = at.emplace(key, a.groups.size()).first;
        a.groups.push_back({key.frequency_hz, key.tag1, key.tag2, 0, 0, INT64_MIN, 0});
      }
      auto& g = a.groups[it->second];
      const std::int64_t calls = sqlite3_column_int64(s.get(), 3);
      g.calls += calls;
      g.airtime_ms += sqlite3_column_int64(s.get(), 4);
      g.last_ms = std::max<std::int64_t>(g.last_ms, sqlite3_column_int64(s.get(), 5));
      if (hourly && sqlite3_column_int64(s.get(), 6) >= recent_hour) g.recent_calls += calls;
    }
    if (rc != SQLITE_DONE) fail(db, "query");
  };
  if (d0 < d1) {
    if (h0 < d0 * 24) scan("activity_hours", "hour", h0, d0 * 24 - 1);
    scan("activity_days", "day", d0, d1 - 1);
    if (d1 * 24 <= h1) scan("activity_hours", "hour", d1 * 24, h1);
  } else {
    scan("activity_hours", "hour", h0, h1);
  }
  // The hour that holds recent_ms: its recent calls one by one.
  const std::int64_t rh = hour_of(q.recent_ms);
  if (rh >= h0 && rh <= h1)
    walk_calls(db, q, std::max(q.recent_ms, q.from_ms), std::min((rh + 1) * kHourMs, q.to_ms + 1), false,
               [&](std::int64_t, int, std::int64_t, std::int64_t, std::int64_t f, const std::string& t1, const std::string& t2) {
                 if (const auto it = at.find({f, t1, t2}); it != at.end() && it->second < a.groups.size()) ++a.groups[it->second].recent_calls;
                 return true;
               });
}

// Hours and groups by walking the calls (a word search), counted as the tables count them.
void read_calls(sqlite3* db, const ActivityQuery& q, Activity& a) {
  a.from_calls = true;
  const std::int64_t h0 = hour_of(q.from_ms), h1 = hour_of(q.to_ms);
  std::map<std::int64_t, ActivityHour> hours;
  std::unordered_map<GroupKey, ActivityGroup, GroupHash> groups;
  // Calls that start in the counted hours, and those before whose airtime spills into them.
  walk_calls(db, q, h0 * kHourMs - kLongestCallMs, (h1 + 1) * kHourMs, false,
             [&](std::int64_t, int, std::int64_t start, std::int64_t duration, std::int64_t f, const std::string& t1,
                 const std::string& t2) {
               ActivityGroup* g = nullptr;
               each_hour(start, duration, [&](std::int64_t h, int calls, std::int64_t air) {
                 if (h < h0 || h > h1) return;
                 auto& hr = hours[h];
                 hr.hour = h;
                 hr.calls += calls;
                 hr.airtime_ms += air;
                 if (!g) {
                   auto it = groups.find({f, t1, t2});
                   if (it == groups.end()) {
                     if (groups.size() >= kMaxGroups) {
                       a.groups_cut = true;
                       return;
                     }
                     it = groups.emplace(GroupKey{f, t1, t2}, ActivityGroup{f, t1, t2, 0, 0, INT64_MIN, 0}).first;
                   }
                   g = &it->second;
                 }
                 g->calls += calls;
                 g->airtime_ms += air;
                 if (calls) {
                   g->last_ms = std::max(g->last_ms, start);
                   if (start >= q.recent_ms) ++g->recent_calls;
                 }
               });
               return true;
             });
  for (auto& [h, hr] : hours) a.hours.push_back(hr);
  for (auto& [k, g] : groups) a.groups.push_back(std::move(g));
}

}  // namespace

Activity read_activity(sqlite3* db, const ActivityQuery& q) {
  Activity a;
  if (q.text.empty() || fts_match_expression(q.text).empty())
    read_tables(db, q, a);
  else
    read_calls(db, q, a);
  // The timeline: the newest calls first, then turned to oldest first.
  walk_calls(db, q, q.timeline_from_ms, q.to_ms + 1, true,
             [&](std::int64_t id, int ch, std::int64_t start, std::int64_t duration, std::int64_t f, const std::string& t1,
                 const std::string& t2) {
               if (a.timeline.size() >= kMaxTimeline) {
                 a.timeline_cut = true;
                 return false;
               }
               CallRecord r;
               r.id = id;
               r.channel = ch;
               r.start_ms = start;
               r.duration_ms = static_cast<int>(duration);
               r.frequency_hz = f;
               r.display[2] = t1;
               r.display[3] = t2;
               a.timeline.push_back(std::move(r));
               return true;
             });
  std::reverse(a.timeline.begin(), a.timeline.end());
  return a;
}

// ---- the write side ------------------------------------------------------------------------

ActivityBook::~ActivityBook() {
  for (sqlite3_stmt* s : {hours_.add, hours_.prune, hours_.last, hours_.relast, days_.add, days_.prune, days_.last, days_.relast,
                          add_channel_, prune_channel_})
    sqlite3_finalize(s);
}

bool ActivityBook::open() {
  auto exec = [&](const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; };
  if (!exec("CREATE TABLE IF NOT EXISTS activity_hours (hour INTEGER NOT NULL, channel INTEGER NOT NULL, frequency_hz INTEGER NOT NULL, "
            "tag1 TEXT NOT NULL, tag2 TEXT NOT NULL, calls INTEGER NOT NULL, airtime_ms INTEGER NOT NULL, last_ms INTEGER NOT NULL, "
            "PRIMARY KEY (hour, channel, frequency_hz, tag1, tag2)) WITHOUT ROWID") ||
      !exec("CREATE INDEX IF NOT EXISTS activity_by_frequency ON activity_hours (frequency_hz, hour)") ||
      !exec("CREATE TABLE IF NOT EXISTS activity_days (day INTEGER NOT NULL, channel INTEGER NOT NULL, frequency_hz INTEGER NOT NULL, "
            "tag1 TEXT NOT NULL, tag2 TEXT NOT NULL, calls INTEGER NOT NULL, airtime_ms INTEGER NOT NULL, last_ms INTEGER NOT NULL, "
            "PRIMARY KEY (day, channel, frequency_hz, tag1, tag2)) WITHOUT ROWID") ||
      !exec("CREATE TABLE IF NOT EXISTS activity_channel_hours (hour INTEGER NOT NULL, channel INTEGER NOT NULL, "
            "calls INTEGER NOT NULL, airtime_ms INTEGER NOT NULL, PRIMARY KEY (hour, channel)) WITHOUT ROWID") ||
      !prepare())
    return false;
  rebuilt_ = false;
  if (consistent()) return true;
  rebuilt_ = true;
  return rebuild();
}

bool ActivityBook::prepare() {
  auto prep = [&](sqlite3_stmt*& s, const std::string& sql) {
    if (s) return true;
    return sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) == SQLITE_OK;
  };
  auto detail = [&](Detail& d) {
    const std::string t = d.table, unit = d.hours == 1 ? "hour" : "day";
    const std::string key = unit + " = ?1 AND channel = ?2 AND frequency_hz = ?3 AND tag1 = ?4 AND tag2 = ?5";
    return prep(d.add, "INSERT INTO " + t + " (" + unit + ", channel, frequency_hz, tag1, tag2, calls, airtime_ms, last_ms) "
                       "VALUES (?1,?2,?3,?4,?5,?6,?7,?8) ON CONFLICT DO UPDATE SET calls = calls + excluded.calls, "
                       "airtime_ms = airtime_ms + excluded.airtime_ms, last_ms = MAX(last_ms, excluded.last_ms)") &&
           prep(d.prune, "DELETE FROM " + t + " WHERE " + key + " AND calls <= 0 AND airtime_ms <= 0") &&
           prep(d.last, "SELECT last_ms FROM " + t + " WHERE " + key) &&
           // A bucket's last call went (not by age): the one before it among the calls still kept, found
           // through the calls' end times (not the channel's index, which would walk all its calls).
           prep(d.relast, "UPDATE " + t + " SET last_ms = COALESCE((SELECT MAX(start_ms) FROM calls WHERE start_ms + duration_ms "
                          "BETWEEN ?6 AND ?7 AND start_ms >= ?6 AND start_ms < ?8 AND +channel = ?2 AND frequency_hz = ?3 AND "
                          "d3 = ?4 AND d4 = ?5), last_ms) WHERE " + key);
  };
  return detail(hours_) && detail(days_) &&
         prep(add_channel_,
              "INSERT INTO activity_channel_hours (hour, channel, calls, airtime_ms) VALUES (?1,?2,?3,?4) "
              "ON CONFLICT DO UPDATE SET calls = calls + excluded.calls, airtime_ms = airtime_ms + excluded.airtime_ms") &&
         prep(prune_channel_, "DELETE FROM activity_channel_hours WHERE hour = ?1 AND channel = ?2 AND calls <= 0 AND airtime_ms <= 0");
}

bool ActivityBook::count_in(Detail& d, const CallRecord& r, std::int64_t hour, int calls, std::int64_t air, int sign) {
  const std::int64_t bucket = hour >= 0 ? hour / d.hours : (hour - d.hours + 1) / d.hours;
  auto key = [&](sqlite3_stmt* s) {
    sqlite3_reset(s);
    sqlite3_bind_int64(s, 1, bucket);
    sqlite3_bind_int(s, 2, r.channel);
    sqlite3_bind_int64(s, 3, r.frequency_hz);
    bind_text(s, 4, r.display[2]);
    bind_text(s, 5, r.display[3]);
  };
  key(d.add);
  sqlite3_bind_int64(d.add, 6, sign * calls);
  sqlite3_bind_int64(d.add, 7, sign * air);
  // Last heard: the start of the newest call that started in the bucket.
  sqlite3_bind_int64(d.add, 8, sign > 0 && calls ? r.start_ms : INT64_MIN);
  if (sqlite3_step(d.add) != SQLITE_DONE) return false;
  if (sign > 0) return true;
  key(d.prune);
  if (sqlite3_step(d.prune) != SQLITE_DONE) return false;
  if (!calls) return true;
  // The bucket stays: when this call was its last heard, the one before it is.
  key(d.last);
  const int rc = sqlite3_step(d.last);
  const bool was_last = rc == SQLITE_ROW && sqlite3_column_int64(d.last, 0) == r.start_ms;
  sqlite3_reset(d.last);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
  if (!was_last) return true;
  key(d.relast);
  const std::int64_t from = bucket * d.hours * kHourMs, to = (bucket + 1) * d.hours * kHourMs;
  sqlite3_bind_int64(d.relast, 6, from);
  sqlite3_bind_int64(d.relast, 7, to + kLongestCallMs);
  sqlite3_bind_int64(d.relast, 8, to);
  return sqlite3_step(d.relast) == SQLITE_DONE;
}

bool ActivityBook::count(const CallRecord& r, int sign) {
  if (!prepare()) return false;
  bool ok = true;
  each_hour(r.start_ms, r.duration_ms, [&](std::int64_t h, int calls, std::int64_t air) {
    if (!ok) return;
    ok = count_in(hours_, r, h, calls, air, sign) && count_in(days_, r, h, calls, air, sign);
    if (!ok) return;
    sqlite3_reset(add_channel_);
    sqlite3_bind_int64(add_channel_, 1, h);
    sqlite3_bind_int(add_channel_, 2, r.channel);
    sqlite3_bind_int64(add_channel_, 3, sign * calls);
    sqlite3_bind_int64(add_channel_, 4, sign * air);
    ok = sqlite3_step(add_channel_) == SQLITE_DONE;
    if (!ok || sign > 0) return;
    sqlite3_reset(prune_channel_);
    sqlite3_bind_int64(prune_channel_, 1, h);
    sqlite3_bind_int(prune_channel_, 2, r.channel);
    ok = sqlite3_step(prune_channel_) == SQLITE_DONE;
  });
  return ok;
}

// Each channel's count of calls in each table against the calls' own (the channel's index
// counts them without reading the rows).
bool ActivityBook::consistent() {
  auto per_channel = [&](const char* sql) {
    std::map<std::int64_t, std::int64_t> m;
    Stmt s(db_, sql);
    while (s && sqlite3_step(s.get()) == SQLITE_ROW) m[sqlite3_column_int64(s.get(), 0)] = sqlite3_column_int64(s.get(), 1);
    return m;
  };
  const auto calls = per_channel("SELECT channel, COUNT(*) FROM calls GROUP BY channel");
  return calls == per_channel("SELECT channel, SUM(calls) FROM activity_channel_hours GROUP BY channel") &&
         calls == per_channel("SELECT channel, SUM(calls) FROM activity_days GROUP BY channel");
}

bool ActivityBook::rebuild() {
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  auto undo = [&] {
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  };
  if (sqlite3_exec(db_, "DELETE FROM activity_hours; DELETE FROM activity_days; DELETE FROM activity_channel_hours", nullptr, nullptr,
                   nullptr) != SQLITE_OK)
    return undo();
  // Buckets gathered in memory a batch at a time, then added to the tables.
  struct Sums {
    std::int64_t calls = 0, airtime = 0, last = INT64_MIN;
  };
  using Key = std::tuple<std::int64_t, int, std::int64_t, std::string, std::string>;
  std::map<Key, Sums> buckets, day_buckets;
  std::map<std::pair<std::int64_t, int>, Sums> channel_buckets;
  auto flush = [&] {
    for (auto [d, m] : {std::pair{&hours_, &buckets}, std::pair{&days_, &day_buckets}})
      for (const auto& [k, v] : *m) {
        sqlite3_stmt* add = d->add;
        sqlite3_reset(add);
        sqlite3_bind_int64(add, 1, std::get<0>(k));
        sqlite3_bind_int(add, 2, std::get<1>(k));
        sqlite3_bind_int64(add, 3, std::get<2>(k));
        bind_text(add, 4, std::get<3>(k));
        bind_text(add, 5, std::get<4>(k));
        sqlite3_bind_int64(add, 6, v.calls);
        sqlite3_bind_int64(add, 7, v.airtime);
        sqlite3_bind_int64(add, 8, v.last);
        if (sqlite3_step(add) != SQLITE_DONE) return false;
      }
    for (const auto& [k, v] : channel_buckets) {
      sqlite3_reset(add_channel_);
      sqlite3_bind_int64(add_channel_, 1, k.first);
      sqlite3_bind_int(add_channel_, 2, k.second);
      sqlite3_bind_int64(add_channel_, 3, v.calls);
      sqlite3_bind_int64(add_channel_, 4, v.airtime);
      if (sqlite3_step(add_channel_) != SQLITE_DONE) return false;
    }
    buckets.clear();
    day_buckets.clear();
    channel_buckets.clear();
    return true;
  };
  {
    Stmt s(db_, "SELECT channel, start_ms, duration_ms, frequency_hz, d3, d4 FROM calls");
    if (!s) return undo();
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
      const int ch = sqlite3_column_int(s.get(), 0);
      const std::int64_t start = sqlite3_column_int64(s.get(), 1), duration = sqlite3_column_int64(s.get(), 2),
                         f = sqlite3_column_int64(s.get(), 3);
      const std::string t1 = text_col(s.get(), 4), t2 = text_col(s.get(), 5);
      each_hour(start, duration, [&](std::int64_t h, int calls, std::int64_t air) {
        auto& b = buckets[{h, ch, f, t1, t2}];
        b.calls += calls;
        b.airtime += air;
        if (calls) b.last = std::max(b.last, start);
        auto& d = day_buckets[{h >= 0 ? h / 24 : (h - 23) / 24, ch, f, t1, t2}];
        d.calls += calls;
        d.airtime += air;
        if (calls) d.last = std::max(d.last, start);
        auto& c = channel_buckets[{h, ch}];
        c.calls += calls;
        c.airtime += air;
      });
      if (buckets.size() + day_buckets.size() >= kRebuildBatch && !flush()) return undo();
    }
    if (rc != SQLITE_DONE) return undo();
  }
  if (!flush()) return undo();
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return undo();
  return true;
}

// ---- the reader ----------------------------------------------------------------------------

ActivityReader::ActivityReader(std::filesystem::path database) : database_(std::move(database)), thread_([this] { run(); }) {}

ActivityReader::~ActivityReader() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool ActivityReader::ask(ActivityQuery q, Done done) {
  {
    std::lock_guard lock(mu_);
    if (stopping_ || jobs_.size() >= kMaxWaiting) return false;
    jobs_.emplace_back(std::move(q), std::move(done));
  }
  wake_.notify_one();
  return true;
}

void ActivityReader::run() {
  sqlite3* db = nullptr;
  for (;;) {
    std::pair<ActivityQuery, Done> job;
    {
      std::unique_lock lock(mu_);
      wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
      if (stopping_) break;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    if (!db) {
      if (sqlite3_open_v2(database_.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        db = nullptr;
        job.second(std::nullopt, "cannot open the call index: " + why, false);
        continue;
      }
      // Off the loop: another process's lock may be waited for a while.
      sqlite3_busy_timeout(db, 2000);
    }
    try {
      job.second(read_activity(db, job.first), "", false);
    } catch (const StoreError& e) {
      job.second(std::nullopt, e.what(), e.busy);
    }
  }
  // Questions never asked are answered, so nobody waits for them.
  for (auto& [q, done] : jobs_) done(std::nullopt, "stopping", false);
  sqlite3_close(db);
}

}  // namespace quillon::calls
