#include "calls/alerts.hpp"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "calls/delivery_lane.hpp"
#include "calls/call_json.hpp"
#include "core/log.hpp"

namespace quillon::calls {

namespace fs = std::filesystem;

namespace {

constexpr int kBusyRetryMs = 1000;

std::string dump(const nlohmann::json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

bool takes(const std::array<bool, 4>& channels, int channel) {
  return channel >= 1 && channel <= 4 && channels[static_cast<std::size_t>(channel - 1)];
}

}  // namespace

struct Alerts::Destination : DeliveryLane {
  Destination(EventLoop& loop, config::AlertSend c)
      : DeliveryLane(loop, "alerts to " + c.name, kMinBackoffMs, kMaxBackoffMs), cfg(std::move(c)) {
    figures.destination = cfg.name;
  }
  config::AlertSend cfg;
  std::int64_t alert_id = 0;  // in flight, 0: none
  bool without_attachment = false;  // the service would not take this alert's file
  struct Unsaved {
    std::int64_t alert_id;
    int state;
    std::string reason;
  };
  std::optional<Unsaved> unsaved;
  metrics::AlertDeliveryFigures figures;
};

Alerts::Alerts(EventLoop& loop, CallStore& store, config::Alerts cfg, std::array<PcmSource, 4> pcm, AlertsOptions options)
    : loop_(loop), store_(store), cfg_(std::move(cfg)), pcm_(std::move(pcm)), options_(std::move(options)) {
  if (!options_.random) {
    auto rng = std::make_shared<std::mt19937>(std::random_device{}());
    options_.random = [rng] { return static_cast<std::uint32_t>((*rng)()); };
  }
  for (auto& c : cfg_.sends) {
    for (const std::string* s : {&c.token, &c.user, &c.secret})
      if (!s->empty()) secrets_.push_back(*s);
    dests_.push_back(std::make_unique<Destination>(loop_, c));
  }
  for (std::size_t i = 0; i < cfg_.tones.size(); ++i)
    for (int k = 0; k < 4; ++k)
      if (cfg_.tones[i].channels[static_cast<std::size_t>(k)]) listeners_[static_cast<std::size_t>(k)].sets.push_back(i);
  for (const auto& t : cfg_.tones) raised_[t.name] = 0;
  for (const auto& r : cfg_.rules) raised_[r.name] = 0;
}

Alerts::~Alerts() { stop(); }

std::int64_t Alerts::now_ms() const {
  return std::chrono::duration_cast<Millis>(loop_.wall_now().time_since_epoch()).count();
}

std::string Alerts::redact(std::string text) const {
  for (const auto& key : secrets_)
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + 5)) text.replace(at, key.size(), "[key]");
  return text;
}

bool Alerts::has_destination(const std::string& name) const {
  return std::any_of(dests_.begin(), dests_.end(), [&](const auto& d) { return d->cfg.name == name; });
}

void Alerts::start() {
  if (running_) return;
  std::vector<std::string> names;
  for (auto& d : dests_) names.push_back(d->cfg.name);
  std::vector<std::uint64_t> backlog;
  try {
    backlog = store_.start_alert_queues(names);
    // The quiet before the first call: from the newest stored call of each channel.
    for (int c = 1; c <= 4; ++c) {
      CallQuery q;
      q.channel = c;
      q.limit = 1;
      const auto page = store_.find(q);
      if (!page.calls.empty()) last_end_[static_cast<std::size_t>(c - 1)] = page.calls[0].start_ms + page.calls[0].duration_ms;
    }
  } catch (const StoreError& e) {
    if (!e.busy) {
      log::warning(std::string(e.what()) + "; alerts are not sent until the next start");
      return;
    }
    loop_.cancel(start_timer_);
    start_timer_ = loop_.call_after(Millis(kBusyRetryMs), [this] {
      start_timer_ = 0;
      start();
    });
    return;
  }
  running_ = true;
  for (std::size_t k = 0; k < 4; ++k) {
    Listener& l = listeners_[k];
    if (l.sets.empty() || !pcm_[k].add) continue;
    l.tap = pcm_[k].add([this, k](const std::int16_t* s, std::size_t n, int rate) { tapped(static_cast<int>(k) + 1, s, n, rate); });
  }
  for (std::size_t i = 0; i < dests_.size(); ++i) {
    auto& d = *dests_[i];
    d.figures.backlog = backlog[i];
    if (d.figures.backlog > 0) log::info("alerts to " + d.cfg.name + ": " + std::to_string(d.figures.backlog) + " waiting");
    pump(d);
  }
}

void Alerts::stop() {
  loop_.cancel(start_timer_);
  start_timer_ = 0;
  loop_.cancel(unstored_timer_);
  unstored_timer_ = 0;
  // A test answer that comes later has nobody to tell.
  for (auto& [timer, client] : tests_) {
    loop_.cancel(timer);
    if (auto c = client.lock()) c->cancel();
  }
  tests_.clear();
  if (!running_) return;
  running_ = false;
  for (std::size_t k = 0; k < 4; ++k) {
    Listener& l = listeners_[k];
    if (l.tap >= 0 && pcm_[k].remove) pcm_[k].remove(l.tap);
    l.tap = -1;
  }
  for (auto& d : dests_) {
    d->halt();
    d->alert_id = 0;
  }
}

bool Alerts::active(const config::ActiveTimes& when, std::int64_t ms) const {
  if (when.all()) return true;
  int weekday = 0, minute = 0;
  local_day_minute(ms, weekday, minute);
  return when.holds(weekday, minute);
}

void Alerts::tapped(int channel, const std::int16_t* samples, std::size_t count, int rate) {
  Listener& l = listeners_[static_cast<std::size_t>(channel - 1)];
  if (!l.detector || rate != l.rate) {
    std::vector<audio::ToneSet> sets;
    for (std::size_t i : l.sets) {
      const auto& t = cfg_.tones[i];
      sets.push_back({t.name, t.a_hz, t.b_hz, t.a_ms, t.b_ms, t.long_ms, t.tolerance_pct, t.min_level_dbfs});
    }
    l.detector = std::make_unique<audio::PagingToneDetector>(std::move(sets), rate);
    l.rate = rate;
    l.fed = 0;
  }
  const auto outs = l.detector->feed(samples, count);
  l.fed += static_cast<std::int64_t>(count);
  const std::int64_t now = now_ms();
  for (const auto& o : outs) {
    // When the tones ended: the samples after the end are this long ago.
    const std::int64_t at = now - (l.fed - o.end_sample) * 1000 / std::max(rate, 1);
    tone_out(channel, l.sets[o.set], at);
  }
}

void Alerts::tone_out(int channel, std::size_t set, std::int64_t at_ms) {
  const config::AlertTones& t = cfg_.tones[set];
  Listener& l = listeners_[static_cast<std::size_t>(channel - 1)];
  // Waiting tone-outs whose call never came are forgotten.
  while (!l.pending.empty() && l.pending.front().at_ms < at_ms - kCallWaitMs) l.pending.pop_front();
  if (!active(t.when, at_ms)) return;
  const std::string key = "tones:" + t.name;
  if (const auto last = last_raised_.find(key); last != last_raised_.end() && at_ms - last->second < t.quiet_s * 1000LL) return;
  last_raised_[key] = at_ms;
  ++raised_[t.name];
  const std::int64_t tone_ms = t.b_hz ? t.a_ms + t.b_ms : t.long_ms;
  if (l.pending.size() >= 16) l.pending.pop_front();
  l.pending.push_back({t.name, at_ms, tone_ms});
  AlertRow a;
  a.kind = "tones";
  a.name = t.name;
  a.channel = channel;
  a.at_ms = at_ms;
  raise(std::move(a));
}

void Alerts::stored(const CallRecord& r) {
  if (!running_ || r.channel < 1 || r.channel > 4) return;
  Listener& l = listeners_[static_cast<std::size_t>(r.channel - 1)];
  const std::int64_t end = r.start_ms + r.duration_ms;
  // The tone-outs this call holds or follows: it ends after the tones began.
  for (auto it = l.pending.begin(); it != l.pending.end();) {
    if (end >= it->at_ms - it->tone_ms - kCallBeforeMs && r.start_ms <= it->at_ms + kCallWaitMs) {
      AlertRow a;
      a.kind = "tones";
      a.name = it->name;
      a.channel = r.channel;
      a.at_ms = it->at_ms;
      a.call_id = r.id;
      raise(std::move(a));
      it = l.pending.erase(it);
    } else if (it->at_ms < r.start_ms - kCallWaitMs) {
      it = l.pending.erase(it);
    } else {
      ++it;
    }
  }
  for (const std::string& name : judge_call(r)) {
    ++raised_[name];
    AlertRow a;
    a.kind = "call";
    a.name = name;
    a.channel = r.channel;
    a.at_ms = r.start_ms;
    a.call_id = r.id;
    raise(std::move(a));
  }
}

std::vector<std::string> Alerts::judge_call(const CallRecord& r) {
  std::vector<std::string> fired;
  auto& last_end = last_end_[static_cast<std::size_t>(r.channel - 1)];
  const std::optional<std::int64_t> quiet_since = last_end;
  last_end = std::max(last_end.value_or(0), r.start_ms + r.duration_ms);
  for (const config::AlertRule& rule : cfg_.rules) {
    if (!takes(rule.channels, r.channel)) continue;
    if (rule.freq_hi_hz > 0 && (r.frequency_hz < rule.freq_lo_hz || r.frequency_hz > rule.freq_hi_hz)) continue;
    if (r.duration_ms < rule.min_duration_s * 1000) continue;
    if (rule.after_quiet_min > 0 && quiet_since && r.start_ms - *quiet_since < rule.after_quiet_min * 60000LL) continue;
    if (!active(rule.when, r.start_ms)) continue;
    const std::string key = "rule:" + rule.name;
    if (const auto last = last_raised_.find(key); last != last_raised_.end() && r.start_ms - last->second < rule.quiet_s * 1000LL) continue;
    if (!rule.words.empty()) {
      // The words as the call search takes them: the call is among what the search finds.
      CallQuery q;
      q.text = rule.words;
      q.channel = r.channel;
      q.before = r.id + 1;
      q.limit = 1;
      try {
        const auto page = store_.find(q);
        if (page.calls.empty() || page.calls[0].id != r.id) continue;
      } catch (const StoreError& e) {
        log::warning("alert rule " + rule.name + " cannot read the index for call " + std::to_string(r.id) + ": " + e.what());
        continue;
      }
    }
    // One transmission heard by two radios fires a rule once.
    auto& fired_for = fired_for_[key];
    const std::int64_t transmission = r.link_id > 0 ? r.link_id : r.id;
    if (r.duplicate && std::find(fired_for.begin(), fired_for.end(), transmission) != fired_for.end()) continue;
    fired_for.push_back(transmission);
    if (fired_for.size() > kTransmissionsKept) fired_for.pop_front();
    last_raised_[key] = r.start_ms;
    fired.push_back(rule.name);
  }
  return fired;
}

void Alerts::raise(AlertRow a) {
  std::vector<std::string> to;
  for (const auto& d : dests_)
    if (takes(d->cfg.channels, a.channel)) to.push_back(d->cfg.name);
  if (options_.on_alert) {
    nlohmann::json j = {{"type", "alert"}, {"kind", a.kind}, {"name", a.name}, {"channel", a.channel}, {"at", rfc3339_ms(a.at_ms)},
                        {"call", a.call_id ? nlohmann::json(a.call_id) : nlohmann::json(nullptr)}};
    options_.on_alert(dump(j));
  }
  if (unstored_.size() >= kMaxUnstored) {
    unstored_.pop_front();
    if (lost_++ == 0) log::warning("alerts are lost: the calls' index has been busy too long");
  }
  unstored_.emplace_back(std::move(a), std::move(to));
  store_unstored();
}

void Alerts::store_unstored() {
  while (!unstored_.empty()) {
    auto& [a, to] = unstored_.front();
    try {
      a.id = store_.add_alert(a, to);
    } catch (const StoreError& e) {
      if (!e.busy) {
        log::warning(std::string("alert ") + a.name + " not stored: " + e.what());
        unstored_.pop_front();
        continue;
      }
      if (!busy_said_) log::warning("alerts wait: the calls' index is held by another process");
      busy_said_ = true;
      if (!unstored_timer_)
        unstored_timer_ = loop_.call_after(Millis(kBusyRetryMs), [this] {
          unstored_timer_ = 0;
          store_unstored();
        });
      return;
    }
    if (busy_said_) log::info("alerts go on: the calls' index is free again");
    busy_said_ = false;
    const std::vector<std::string> names = to;
    unstored_.pop_front();
    for (auto& d : dests_)
      if (std::find(names.begin(), names.end(), d->cfg.name) != names.end()) {
        ++d->figures.backlog;
        pump(*d);
      }
  }
}

void Alerts::wait_for_index(Destination& d) {
  if (d.waiting || d.alert_id != 0) return;
  d.wait(Millis(kBusyRetryMs), [this, &d] { pump(d); });
}

bool Alerts::save_unsaved(Destination& d) {
  if (!d.unsaved) return true;
  try {
    store_.set_alert_state(d.cfg.name, d.unsaved->alert_id, d.unsaved->state, d.unsaved->reason);
  } catch (const StoreError& e) {
    if (e.busy) return false;
    log::warning(std::string(e.what()));
  }
  d.unsaved.reset();
  return true;
}

void Alerts::set_state(Destination& d, int state, const std::string& reason) {
  d.unsaved = Destination::Unsaved{d.alert_id, state, reason};
  save_unsaved(d);
}

void Alerts::pump(Destination& d) {
  if (!running_) return;
  // A state the busy index did not take goes first: an alert must not go twice.
  if (!save_unsaved(d)) return wait_for_index(d);
  if (d.alert_id != 0 || d.waiting || !d.paused.empty()) return;
  for (;;) {
    std::optional<std::int64_t> next;
    std::optional<AlertRow> row;
    std::optional<CallRecord> call;
    try {
      next = store_.next_alert(d.cfg.name);
      if (next) row = store_.get_alert(*next);
      if (row && row->call_id) call = store_.get(row->call_id);
    } catch (const StoreError& e) {
      if (!e.busy) log::warning(std::string(e.what()));
      return wait_for_index(d);
    }
    if (!next) {
      d.state = "idle";
      d.figures.backlog = 0;
      return;
    }
    d.alert_id = *next;
    if (!row) {
      set_state(d, kUploadGivenUp, "the alert was removed before it went");
      d.alert_id = 0;
      if (d.unsaved) return wait_for_index(d);
      continue;
    }
    const AlertMessage m = alert_message(*row, call, cfg_.audio_link);
    if (d.cfg.type == "mqtt") {
      // The bridge keeps it until the broker takes it; the broker is its queue.
      const bool ok = options_.publish_mqtt && options_.publish_mqtt(row->channel, webhook_body(m));
      if (ok) ++d.figures.delivered;
      else ++d.figures.refused;
      if (d.figures.backlog > 0) --d.figures.backlog;
      set_state(d, ok ? kUploadDone : kUploadRefused, ok ? "" : "the MQTT bridge does not run");
      d.alert_id = 0;
      if (d.unsaved) return wait_for_index(d);
      continue;
    }
    std::string audio;
    std::string path;
    if (call && !d.without_attachment && attaches(d.cfg, call->bytes)) {
      path = (store_.dir() / call->file).string();
      if (d.cfg.type != "apprise") {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        if (in) ss << in.rdbuf();
        audio = ss.str();
        if (audio.empty()) path.clear();
      }
    }
    try {
      store_.set_alert_state(d.cfg.name, d.alert_id, kUploadSending, "");
    } catch (const StoreError&) {
      // Still queued in the index: sent again after a crash, as an unanswered alert is.
    }
    d.state = "sending alert " + std::to_string(d.alert_id);
    send(d, alert_request(d.cfg, m, audio, path), !audio.empty() || (d.cfg.type == "apprise" && !path.empty()));
    return;
  }
}

void Alerts::send(Destination& d, const HttpRequest& req, bool attached) {
  if (!d.client) d.client = options_.make_client(d.cfg);
  d.send(req, Millis(kRequestTimeoutMs), [this, &d, attached](const HttpAnswer& a) { answered(d, a, attached); });
}

void Alerts::answered(Destination& d, const HttpAnswer& a, bool attached) {
  if (d.alert_id == 0) return;
  AlertVerdict v = judge_alert(d.cfg.type, a, attached);
  v.text = redact(v.text);
  switch (v.kind) {
    case AlertVerdict::Done:
      ++d.figures.delivered;
      if (d.figures.backlog > 0) --d.figures.backlog;
      d.went_through();
      d.without_attachment = false;
      set_state(d, kUploadDone, "");
      d.alert_id = 0;
      break;
    case AlertVerdict::WithoutAttachment:
      // The service would not take the file: the same alert goes again with the link only.
      d.without_attachment = true;
      set_state(d, kUploadQueued, v.text);
      d.alert_id = 0;
      break;
    case AlertVerdict::Retry:
      ++d.figures.failures;
      retry(d, v.text);
      return;
    case AlertVerdict::Refused:
      ++d.figures.refused;
      if (d.figures.backlog > 0) --d.figures.backlog;
      d.last_error = v.text;
      d.without_attachment = false;
      log::warning("alerts to " + d.cfg.name + ": alert " + std::to_string(d.alert_id) + " refused: " + v.text);
      set_state(d, kUploadRefused, v.text);
      d.alert_id = 0;
      break;
    case AlertVerdict::Pause:
      ++d.figures.failures;
      d.figures.paused = true;
      d.pause(v.text, "check the key or token, then restart");
      set_state(d, kUploadQueued, v.text);
      d.alert_id = 0;
      return;
  }
  loop_.post([this, &d] { pump(d); });
}

void Alerts::retry(Destination& d, const std::string& why) {
  set_state(d, kUploadQueued, why);
  d.alert_id = 0;
  d.retry_later(why, options_.random(), [this, &d] { pump(d); });
}

void Alerts::test(const std::string& name, std::function<void(bool ok, std::string text)> done) {
  const auto it = std::find_if(dests_.begin(), dests_.end(), [&](const auto& d) { return d->cfg.name == name; });
  if (it == dests_.end()) return done(false, "no such destination");
  const config::AlertSend& cfg = (*it)->cfg;
  AlertRow row;
  row.kind = "test";
  row.name = "Quillon test";
  for (int k = 1; k <= 4; ++k)
    if (takes(cfg.channels, k)) {
      row.channel = k;
      break;
    }
  row.at_ms = now_ms();
  const AlertMessage m = alert_message(row, std::nullopt, "");
  if (cfg.type == "mqtt") {
    const bool ok = options_.publish_mqtt && options_.publish_mqtt(row.channel, webhook_body(m));
    return done(ok, ok ? "handed to the MQTT bridge" : "the MQTT bridge does not run");
  }
  // A client of its own: the queue's request in flight is not disturbed.
  std::shared_ptr<HttpClient> client = options_.make_client(cfg);
  auto finished = std::make_shared<bool>(false);
  auto timer = std::make_shared<EventLoop::TimerId>(0);
  auto finish = [this, client, finished, timer, done, type = cfg.type](const HttpAnswer& a) {
    if (*finished) return;
    *finished = true;
    loop_.cancel(*timer);
    std::erase_if(tests_, [&](const auto& t) { return t.first == *timer; });
    const AlertVerdict v = judge_alert(type, a, false);
    std::string text = v.kind == AlertVerdict::Done ? "HTTP " + std::to_string(a.status) : redact(v.text);
    if (v.kind == AlertVerdict::Done && type == "apprise") text = "apprise took it";
    done(v.kind == AlertVerdict::Done, text);
    // The client goes once its own callback has returned.
    loop_.post([client] {});
  };
  // The page waits at most 10 s for its answer.
  *timer = loop_.call_after(Millis(9000), [finish, client] {
    client->cancel();
    finish({0, "", "no answer within 9 s"});
  });
  tests_.emplace_back(*timer, client);
  client->send(alert_request(cfg, m, "", ""), [finish](HttpAnswer a) { finish(a); });
}

nlohmann::json Alerts::status_json(const std::array<bool, 4>& channels, int limit) const {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& d : dests_)
    list.push_back({{"name", d->cfg.name},
                    {"type", d->cfg.type},
                    {"state", d->state},
                    {"delivered", d->figures.delivered},
                    {"failures", d->figures.failures},
                    {"refused", d->figures.refused},
                    {"backlog", d->figures.backlog},
                    {"last_error", d->last_error},
                    {"paused", d->paused.empty() ? nlohmann::json(nullptr) : nlohmann::json(d->paused)}});
  nlohmann::json recent = nlohmann::json::array();
  try {
    for (const AlertRow& a : store_.recent_alerts(limit, channels)) {
      nlohmann::json deliveries = nlohmann::json::array();
      for (std::size_t i = 0; i < a.deliveries.size(); ++i)
        deliveries.push_back(
            {{"destination", a.deliveries[i].first}, {"state", upload_state_name(a.deliveries[i].second)}, {"reason", a.reasons[i]}});
      recent.push_back({{"id", a.id},
                        {"kind", a.kind},
                        {"name", a.name},
                        {"channel", a.channel},
                        {"at", rfc3339_ms(a.at_ms)},
                        {"call", a.call_id ? nlohmann::json(a.call_id) : nlohmann::json(nullptr)},
                        {"deliveries", deliveries}});
    }
  } catch (const StoreError&) {
    // Left out while the index cannot be read.
  }
  return {{"destinations", list}, {"alerts", recent}};
}

metrics::AlertFigures Alerts::figures() const {
  metrics::AlertFigures f;
  for (const auto& [name, n] : raised_) f.raised.emplace_back(name, n);
  for (const auto& d : dests_) f.deliveries.push_back(d->figures);
  return f;
}

}  // namespace quillon::calls
