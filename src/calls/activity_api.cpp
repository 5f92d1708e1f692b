#include "calls/activity_api.hpp"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>

#include "calls/calls_api.hpp"

namespace quillon::calls {

namespace {

std::optional<std::int64_t> whole(const std::string& v, std::int64_t lo, std::int64_t hi) {
  std::int64_t n = 0;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec != std::errc() || end != v.data() + v.size() || n < lo || n > hi) return std::nullopt;
  return n;
}

std::tm local(std::int64_t ms) {
  const std::time_t t = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return tm;
}

std::string date_text(const std::tm& tm) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return buf;
}

// Local midnight `back` days before the day holding `ms`.
std::int64_t local_midnight(std::int64_t ms, int back) {
  std::tm tm = local(ms);
  tm.tm_mday -= back;
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&tm)) * 1000;
}

nlohmann::json when(std::int64_t ms) { return ms == INT64_MIN ? nlohmann::json(nullptr) : nlohmann::json(rfc3339_ms(ms)); }

struct Sum {
  std::int64_t calls = 0, airtime_ms = 0, last_ms = INT64_MIN, recent_calls = 0;
  std::map<std::string, std::int64_t> names;  // a frequency's tags by airtime
  void add(const ActivityGroup& g) {
    calls += g.calls;
    airtime_ms += g.airtime_ms;
    last_ms = std::max(last_ms, g.last_ms);
    recent_calls += g.recent_calls;
  }
};

// Busiest first: by airtime, then calls; ties by `key` for a stable order.
template <typename K>
std::vector<std::pair<K, Sum>> ranked(std::map<K, Sum> m, bool (*keep)(const Sum&), std::size_t limit, bool by_calls = false) {
  std::vector<std::pair<K, Sum>> v;
  for (auto& [k, s] : m)
    if (!keep || keep(s)) v.emplace_back(k, std::move(s));
  std::stable_sort(v.begin(), v.end(), [&](const auto& a, const auto& b) {
    if (by_calls && a.second.calls != b.second.calls) return a.second.calls > b.second.calls;
    if (a.second.airtime_ms != b.second.airtime_ms) return a.second.airtime_ms > b.second.airtime_ms;
    return a.second.calls > b.second.calls;
  });
  if (v.size() > limit) v.resize(limit);
  return v;
}

std::string busiest_name(const Sum& s) {
  std::string best;
  std::int64_t most = -1;
  for (const auto& [name, air] : s.names)
    if (air > most) best = name, most = air;
  return best;
}

}  // namespace

std::variant<ActivityRequest, std::string> parse_activity_request(const std::string& query, std::int64_t now_ms) {
  ActivityRequest r;
  r.now_ms = now_ms;
  std::size_t pos = 0;
  while (!query.empty() && pos <= query.size()) {
    std::size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    const std::string_view pair(query.data() + pos, amp - pos);
    pos = amp + 1;
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    const std::string name = query_decode(pair.substr(0, eq));
    const std::string value = eq == std::string_view::npos ? "" : query_decode(pair.substr(eq + 1));
    if (value.empty()) continue;  // an empty field of a form: no filter
    if (name == "channel") {
      const auto n = whole(value, 1, 4);
      if (!n) return std::string("channel: expected 1, 2, 3 or 4");
      r.query.channel = static_cast<int>(*n);
    } else if (name == "frequency_hz") {
      const auto n = whole(value, 1, 100'000'000'000LL);
      if (!n) return std::string("frequency_hz: expected a frequency in Hz such as 156800000");
      r.query.frequency_hz = *n;
    } else if (name == "q") {
      const auto length = query_text_length(value);
      if (!length) return std::string("q: expected text without control characters (UTF-8)");
      if (*length > 200) return std::string("q: expected at most 200 characters");
      r.query.text = value;
    } else if (name == "days") {
      const auto n = whole(value, 1, 90);
      if (!n || (*n != 7 && *n != 30 && *n != 90)) return std::string("days: expected 7, 30 or 90");
      r.days = static_cast<int>(*n);
    } else if (name == "hours") {
      const auto n = whole(value, 1, 24);
      if (!n) return std::string("hours: expected a whole number from 1 to 24");
      r.hours = static_cast<int>(*n);
    }
  }
  r.query.from_ms = local_midnight(now_ms, r.days - 1);
  r.query.to_ms = now_ms;
  r.query.recent_ms = now_ms - kQuietHours * kHourMs;
  r.query.timeline_from_ms = now_ms - r.hours * kHourMs;
  return r;
}

std::string activity_json(const ActivityRequest& req, const Activity& a, bool kept) {
  using nlohmann::json;
  const std::tm now_tm = local(req.now_ms);
  char zone[64] = "";
  std::strftime(zone, sizeof zone, "%Z", &now_tm);

  // The heat map: one row per local day of the period, 24 local hours each.
  std::vector<std::string> days;
  std::map<std::string, std::size_t> day_at;
  for (int back = req.days - 1; back >= 0; --back) {
    const std::string d = date_text(local(local_midnight(req.now_ms, back)));
    if (day_at.emplace(d, days.size()).second) days.push_back(d);
  }
  std::vector<std::vector<std::int64_t>> air(days.size(), std::vector<std::int64_t>(24)), calls(days.size(), std::vector<std::int64_t>(24));
  std::int64_t total_calls = 0, total_air = 0;
  for (const auto& h : a.hours) {
    const std::tm tm = local(h.hour * kHourMs);
    const auto it = day_at.find(date_text(tm));
    if (it == day_at.end()) continue;  // the part of the first hour before local midnight
    air[it->second][static_cast<std::size_t>(tm.tm_hour)] += h.airtime_ms;
    calls[it->second][static_cast<std::size_t>(tm.tm_hour)] += h.calls;
    total_calls += h.calls;
    total_air += h.airtime_ms;
  }

  std::map<std::int64_t, Sum> by_frequency;
  std::map<std::string, Sum> by_tag;
  for (const auto& g : a.groups) {
    auto& f = by_frequency[g.frequency_hz];
    f.add(g);
    const std::string name = g.tag1.empty() ? g.tag2 : g.tag1;
    if (!name.empty()) f.names[name] += g.airtime_ms;
    if (!g.tag1.empty()) by_tag[g.tag1].add(g);
    if (!g.tag2.empty() && g.tag2 != g.tag1) by_tag[g.tag2].add(g);
  }
  json frequencies = json::array(), tags = json::array(), quiet = json::array();
  for (const auto& [f, s] : ranked<std::int64_t>(by_frequency, nullptr, kTopCount))
    frequencies.push_back({{"frequency_hz", f}, {"tag", busiest_name(s)}, {"calls", s.calls}, {"airtime_ms", s.airtime_ms},
                           {"last_heard", when(s.last_ms)}});
  for (const auto& [t, s] : ranked<std::string>(by_tag, nullptr, kTopCount))
    tags.push_back({{"tag", t}, {"calls", s.calls}, {"airtime_ms", s.airtime_ms}, {"last_heard", when(s.last_ms)}});
  auto is_quiet = [](const Sum& s) { return s.calls >= kQuietBusyCalls && s.recent_calls == 0; };
  for (const auto& [f, s] : ranked<std::int64_t>(by_frequency, is_quiet, kTopCount, true))
    quiet.push_back({{"frequency_hz", f}, {"tag", busiest_name(s)}, {"calls", s.calls}, {"airtime_ms", s.airtime_ms},
                     {"last_heard", when(s.last_ms)}});

  json timeline = json::array();
  for (const auto& c : a.timeline)
    timeline.push_back({{"id", c.id}, {"channel", c.channel}, {"start", rfc3339_ms(c.start_ms)}, {"duration_ms", c.duration_ms},
                        {"frequency_hz", c.frequency_hz}, {"tags", c.tags()},
                        {"audio", "/api/calls/" + std::to_string(c.id) + "/audio"}});

  json filters = json::object();
  if (req.query.channel) filters["channel"] = *req.query.channel;
  if (req.query.frequency_hz) filters["frequency_hz"] = *req.query.frequency_hz;
  if (!req.query.text.empty()) filters["q"] = req.query.text;
  json j = {
      {"now", rfc3339_ms(req.now_ms)},
      {"time_zone", {{"name", zone}, {"utc_offset_minutes", now_tm.tm_gmtoff / 60}, {"hours", "local"}}},
      {"filters", filters},
      {"period", {{"days", req.days}, {"from", rfc3339_ms(req.query.from_ms)}, {"to", rfc3339_ms(req.query.to_ms)}}},
      {"totals", {{"calls", total_calls}, {"airtime_ms", total_air}}},
      {"heatmap", {{"days", days}, {"airtime_ms", air}, {"calls", calls}}},
      {"frequencies", frequencies},
      {"tags", tags},
      {"quiet", {{"busy_calls", kQuietBusyCalls}, {"silent_hours", kQuietHours}, {"frequencies", quiet}}},
      {"timeline", {{"hours", req.hours}, {"from", rfc3339_ms(req.query.timeline_from_ms)}, {"to", rfc3339_ms(req.query.to_ms)},
                    {"calls", timeline}, {"cut", a.timeline_cut}}},
      {"kept", kept},
      {"walked_calls", a.from_calls},
      {"groups_cut", a.groups_cut},
  };
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace quillon::calls
