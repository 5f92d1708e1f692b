#include "fleet/listeners.hpp"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "audio/gsm_codec.hpp"
#include "window/frmserver.hpp"

namespace quillon {

namespace {

using nlohmann::json;

constexpr std::string_view kCookie = "quillon_listener";
constexpr std::size_t kMaxAddresses = 4096;  // address groups remembered for their sign-ins
constexpr Millis kMinute{60000};
constexpr Millis kExpiryCheck{1000};
constexpr Millis kFirstWait{1000};
constexpr Millis kLongestWait{60000};
constexpr Millis kDisplayPeriod{250};
constexpr std::size_t kMaxStatusSockets = 256;
// About 200 ms of frames may wait for a page; beyond that it hears the newest ones.
constexpr std::size_t kKeepFrames = 10;

bool same_secret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string random_id() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

double ms_since_epoch(WallClock::time_point t) {
  return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A budget of `per_minute` that refills evenly: brought up to `now`, then one taken if there is
// one. `left` starts full when `counted` is the epoch.
bool take(double& left, TimePoint& counted, int per_minute, TimePoint now) {
  const double rate = per_minute / static_cast<double>(kMinute.count());
  left = counted == TimePoint{} ? per_minute : std::min<double>(per_minute, left + rate * std::chrono::duration<double, std::milli>(now - counted).count());
  counted = now;
  if (left < 1) return false;
  left -= 1;
  return true;
}

// Whole seconds until a budget in this state has one again (at least 1).
long long seconds_until_one(double left, int per_minute) {
  const double ms = (1 - left) * static_cast<double>(kMinute.count()) / per_minute;
  return std::max<long long>(1, static_cast<long long>(std::ceil(ms / 1000)));
}

std::string ended_message(const std::string& why) { return json{{"type", "ended"}, {"message", why}}.dump(); }

}  // namespace

std::string address_group(std::string_view address) {
  const std::string text(address);
  unsigned char raw[16];
  if (::inet_pton(AF_INET6, text.c_str(), raw) != 1) return text;
  static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  char out[INET6_ADDRSTRLEN] = {};
  if (std::memcmp(raw, kMapped, sizeof kMapped) == 0) {
    ::inet_ntop(AF_INET, raw + 12, out, sizeof out);
    return out;
  }
  std::memset(raw + 8, 0, 8);
  ::inet_ntop(AF_INET6, raw, out, sizeof out);
  return std::string(out) + "/64";
}

LiveListeners::LiveListeners(EventLoop& loop, Frmserver& form, const config::Listen& cfg,
                             const std::array<audio::GsmCodec*, 4>& codecs, ConsoleServer* console, ConsoleServer* public_port,
                             std::function<void(bool)> want_levels, Limits limits)
    : loop_(loop), form_(form), cfg_(cfg), limits_(limits), codecs_(codecs), want_levels_(std::move(want_levels)) {
  for (std::size_t k = 0; k < 4; ++k) {
    audio::GsmCodec* codec = codecs[k];
    audio::LiveFrames::Source source{[codec](audio::LiveFrames::PcmTap tap) { return codec->add_pcm_tap(std::move(tap)); },
                                     [codec](int id) { codec->remove_pcm_tap(id); },
                                     [codec] { return codec->captured_until_ms(); }};
    frames_[k] = std::make_unique<audio::LiveFrames>(source, [&loop] { return ms_since_epoch(loop.wall_now()); }, cfg.opus_bitrate);
  }
  if (console) add_routes(*console, false);
  if (public_port) add_routes(*public_port, true);
}

LiveListeners::~LiveListeners() {
  if (timer_) loop_.cancel(timer_);
  if (expiry_timer_) loop_.cancel(expiry_timer_);
}

void LiveListeners::add_routes(ConsoleServer& server, bool public_port) {
  server.add_socket_route("/live/audio/", [this](const ConsoleRequest& r) { return open_audio(r); });
  server.add_socket_route("/live/status", [this](const ConsoleRequest& r) { return open_status(r); });
  server.add_open_route("/live/session", [this](const ConsoleRequest& r) { return session(r); });
  server.add_page("/live", "live.html");
  if (public_port) {
    server.add_page("/", "live.html");
    for (const char* f : {"js/live.js", "js/live_audio.js", "js/live_worklet.js", "js/live_buffer.js", "js/dom.js", "js/display.js", "js/audio.js", "js/control.js", "js/alerts.js",
                          "app.css", "favicon.svg"})
      server.add_page(std::string("/") + f, f);
  }
}

LiveListeners::Access LiveListeners::access(const ConsoleRequest& req) {
  Access a;
  if (req.operator_ok) {
    a.ok = true;
    a.channels = {true, true, true, true};
    a.label = "operator";
    return a;
  }
  if (cfg_.codes.empty()) {
    a.ok = true;
    a.channels = {true, true, true, true};
    a.label = "open";
    return a;
  }
  const std::string id = cookie_value(req.cookies, kCookie);
  for (const Session& s : sessions_) {
    if (id.empty() || !same_secret(s.id, id)) continue;
    if (expired(s.code)) {
      a.why = "this access code has expired";
      return a;
    }
    const auto& code = cfg_.codes[static_cast<std::size_t>(s.code)];
    a.ok = true;
    a.channels = code.channels;
    a.code = s.code;
    a.label = code.label;
    return a;
  }
  a.why = "enter an access code first";
  return a;
}

bool LiveListeners::expired(int code) const {
  if (code < 0) return false;
  const auto& c = cfg_.codes[static_cast<std::size_t>(code)];
  return c.expires && std::chrono::duration_cast<std::chrono::seconds>(loop_.wall_now().time_since_epoch()).count() >= *c.expires;
}

int LiveListeners::holding(int code) const {
  return static_cast<int>(std::count_if(held_.begin(), held_.end(), [code](const auto& h) { return h.second.who.code == code; }));
}

// Why `a` may not listen to `channel` now, or nothing; the places already taken count.
std::optional<std::pair<int, std::string>> LiveListeners::refusal(const Access& a, int channel) const {
  if (!a.ok) return std::pair{401, a.why};
  if (!a.channels[static_cast<std::size_t>(channel - 1)]) return std::pair{403, "this access code does not include channel " + std::to_string(channel)};
  if (a.code >= 0) {
    const int limit = cfg_.codes[static_cast<std::size_t>(a.code)].max_listeners;
    if (limit > 0 && holding(a.code) >= limit)
      return std::pair{503, "this access code is in use by " + std::to_string(limit) + " listeners already"};
  }
  return std::nullopt;
}

ListenService::Admission LiveListeners::admit_stream(const ConsoleRequest& req, int channel) {
  ListenService::Admission answer;
  const Access a = access(req);
  if (auto refused = refusal(a, channel)) {
    answer.status = refused->first;
    answer.message = std::move(refused->second);
    return answer;
  }
  if (a.code < 0) return answer;  // nothing to count against
  const int id = ++next_listener_;
  held_[id] = Held{Listener{a.label, req.address, channel, ms_since_epoch(loop_.wall_now()), a.code}, false, false, nullptr};
  answer.place = std::make_shared<ListenService::Place>();
  answer.place->release = [this, id, alive = std::weak_ptr<bool>(alive_)] {
    if (!alive.expired()) release(id);
  };
  held_[id].end = [place = std::weak_ptr<ListenService::Place>(answer.place)] {
    if (const auto p = place.lock(); p && p->end) p->end();
  };
  watch_expiry();
  return answer;
}

int LiveListeners::code_of(const ConsoleRequest& req) {
  const Access a = access(req);
  return a.ok ? a.code : -1;
}

std::optional<std::array<bool, 4>> LiveListeners::channels_for(const ConsoleRequest& req) {
  const Access a = access(req);
  if (!a.ok) return std::nullopt;
  return a.channels;
}

void LiveListeners::release(int id) {
  const auto it = held_.find(id);
  if (it == held_.end()) return;
  const bool shown = it->second.live && it->second.started;
  held_.erase(it);
  if (shown) listeners_changed();
}

ConsoleStream LiveListeners::open_audio(const ConsoleRequest& req) {
  ConsoleStream answer;
  const std::string_view rest = std::string_view(req.path).substr(std::string_view("/live/audio/").size());
  const int channel = rest.size() == 1 && rest[0] >= '1' && rest[0] <= '4' ? rest[0] - '0' : 0;
  if (channel == 0) {
    answer.status = 404;
    answer.message = "no such channel: /live/audio/N, N from 1 to 4";
    return answer;
  }
  const Access a = access(req);
  const auto k = static_cast<std::size_t>(channel - 1);
  if (auto refused = refusal(a, channel)) {
    answer.status = refused->first;
    answer.message = std::move(refused->second);
    return answer;
  }
  if (!codecs_[k]->active()) {
    answer.status = 404;
    answer.message = "channel " + std::to_string(channel) + " captures no audio";
    return answer;
  }
  const auto live = [](const auto& h) { return h.second.live; };
  const auto on_channel = std::count_if(held_.begin(), held_.end(), [&](const auto& h) { return live(h) && h.second.who.channel == channel; });
  if (on_channel >= cfg_.max_listeners) {
    answer.status = 503;
    answer.message = "channel " + std::to_string(channel) + " is full: " + std::to_string(cfg_.max_listeners) + " listeners already";
    return answer;
  }
  if (std::count_if(held_.begin(), held_.end(), live) >= cfg_.max_live_listeners) {
    answer.status = 503;
    answer.message = "the server is full: " + std::to_string(cfg_.max_live_listeners) + " listeners already";
    return answer;
  }
  // The place is taken now: the handshake is still to come, and a burst of listeners asking
  // meanwhile must find it taken. It is given back with the last of the answer and the stop (a
  // handshake that fails too).
  const int listener = ++next_listener_;
  held_[listener] = Held{Listener{a.label, req.address, channel, ms_since_epoch(loop_.wall_now()), a.code}, true, false, nullptr};
  const std::shared_ptr<void> place(nullptr, [this, listener, alive = std::weak_ptr<bool>(alive_)](void*) {
    if (!alive.expired()) release(listener);
  });
  answer.content_type = "application/octet-stream";
  answer.keep_newest = kKeepFrames;
  audio::LiveFrames* frames = frames_[k].get();
  answer.start = [this, frames, listener, place, alive = std::weak_ptr<bool>(alive_)](ConsoleStream::Push push) -> std::function<void()> {
    const auto it = held_.find(listener);
    if (it == held_.end()) return [] {};
    it->second.started = true;
    it->second.who.since_ms = ms_since_epoch(loop_.wall_now());
    it->second.end = [push] {
      push(bytes_of(ended_message("this access code has expired")));
      push({});
    };
    const int id = frames->subscribe([push](std::span<const std::uint8_t> frame) { push(frame); });
    listeners_changed();
    watch_expiry();
    return [frames, id, place, alive] {
      if (!alive.expired() && id) frames->unsubscribe(id);
    };
  };
  return answer;
}

std::string LiveListeners::display_message(int channel) const {
  return json{{"type", "display"}, {"channel", channel}, {"text", form_.text5[static_cast<std::size_t>(channel - 1)].text()}}.dump(
      -1, ' ', false, json::error_handler_t::replace);
}

ConsoleStream LiveListeners::open_status(const ConsoleRequest& req) {
  ConsoleStream answer;
  const Access a = access(req);
  if (!a.ok) {
    answer.status = 401;
    answer.message = a.why;
    return answer;
  }
  if (status_.size() >= kMaxStatusSockets) {
    answer.status = 503;
    answer.message = "too many pages open";
    return answer;
  }
  answer.content_type = "application/json";
  answer.keep_newest = 64;
  answer.start = [this, channels = a.channels, label = a.label, code = a.code,
                  alive = std::weak_ptr<bool>(alive_)](ConsoleStream::Push push) -> std::function<void()> {
    const int id = ++next_status_;
    json hello = {{"type", "hello"}, {"label", label}, {"channels", json::array()}};
    for (int c = 1; c <= 4; ++c)
      if (channels[static_cast<std::size_t>(c - 1)]) hello["channels"].push_back(c);
    const std::string text = hello.dump();
    push(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    for (int c = 1; c <= 4; ++c) {
      if (!channels[static_cast<std::size_t>(c - 1)]) continue;
      const std::string d = display_message(c);
      push(std::span(reinterpret_cast<const std::uint8_t*>(d.data()), d.size()));
    }
    status_[id] = StatusSocket{push, channels, code};
    if (status_.size() == 1) {
      if (want_levels_) want_levels_(true);
      timer_ = loop_.call_after(kDisplayPeriod, [this] { tick(); });
    }
    watch_expiry();
    return [this, id, alive] {
      if (alive.expired()) return;
      status_.erase(id);
      if (status_.empty()) {
        if (want_levels_) want_levels_(false);
        if (timer_) loop_.cancel(timer_);
        timer_ = 0;
      }
    };
  };
  return answer;
}

void LiveListeners::send_status(const std::string& text, const std::array<bool, 4>* only) {
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  std::vector<ConsoleStream::Push> to;
  for (const auto& [id, s] : status_) {
    bool hears = !only;
    for (std::size_t k = 0; k < 4 && !hears; ++k) hears = (*only)[k] && s.channels[k];
    if (hears) to.push_back(s.push);
  }
  for (const auto& push : to) push(bytes);  // a push may end a socket (and so change status_)
}

void LiveListeners::tick() {
  timer_ = 0;
  for (int c = 1; c <= 4; ++c) {
    const auto k = static_cast<std::size_t>(c - 1);
    const std::string& now = form_.text5[k].text();
    if (now == shown_[k]) continue;
    shown_[k] = now;
    std::array<bool, 4> only{};
    only[k] = true;
    send_status(display_message(c), &only);
  }
  if (!status_.empty()) timer_ = loop_.call_after(kDisplayPeriod, [this] { tick(); });
}

// Each page gets the levels of the channels it may hear, and no others.
void LiveListeners::levels(const std::string& text) {
  if (status_.empty()) return;
  std::map<unsigned, std::string> texts;  // by the set of channels, made once each
  std::optional<json> parsed;
  std::vector<std::pair<ConsoleStream::Push, const std::string*>> to;
  for (const auto& [id, s] : status_) {
    unsigned mask = 0;
    for (std::size_t k = 0; k < 4; ++k) mask |= s.channels[k] ? 1u << k : 0u;
    if (mask == 15) {
      to.emplace_back(s.push, &text);
      continue;
    }
    auto made = texts.find(mask);
    if (made == texts.end()) {
      if (!parsed) parsed = json::parse(text, nullptr, false);
      json only = *parsed;
      if (only.is_object() && only.contains("channels") && only["channels"].is_array()) {
        json kept = json::array();
        for (const auto& c : only["channels"]) {
          const int n = c.is_object() && c.contains("channel") && c["channel"].is_number_integer() ? c["channel"].get<int>() : 0;
          if (n >= 1 && n <= 4 && (mask & (1u << (n - 1)))) kept.push_back(c);
        }
        only["channels"] = std::move(kept);
        made = texts.emplace(mask, only.dump()).first;
      } else {
        made = texts.emplace(mask, std::string()).first;  // not levels as known: nothing to pass on
      }
    }
    if (!made->second.empty()) to.emplace_back(s.push, &made->second);
  }
  for (const auto& [push, t] : to) push(bytes_of(*t));  // a push may end a socket (and so change status_)
}

// While anything with an expiring code is open, it is looked at every second; what belongs to a
// code that has expired is told so and closed.
void LiveListeners::watch_expiry() {
  if (expiry_timer_) return;
  bool any = false;
  for (const auto& [id, h] : held_) any |= h.who.code >= 0 && cfg_.codes[static_cast<std::size_t>(h.who.code)].expires.has_value();
  for (const auto& [id, s] : status_) any |= s.code >= 0 && cfg_.codes[static_cast<std::size_t>(s.code)].expires.has_value();
  if (any) expiry_timer_ = loop_.call_after(kExpiryCheck, [this] {
    expiry_timer_ = 0;
    end_expired();
    watch_expiry();
  });
}

void LiveListeners::end_expired() {
  // A place is given back at once: a page that never answers the close keeps its connection a
  // while, but not its place. (A stream not started yet is ended at the next look.)
  std::vector<std::function<void()>> ends;
  std::vector<int> gone;
  for (const auto& [id, h] : held_)
    if (h.end && expired(h.who.code)) {
      ends.push_back(h.end);
      gone.push_back(id);
    }
  for (const int id : gone) release(id);
  for (auto& [id, s] : status_)
    if (s.push && expired(s.code)) {
      ends.push_back([push = s.push] {
        push(bytes_of(ended_message("this access code has expired")));
        push({});
      });
      s.code = -1;  // told once
    }
  for (const auto& end : ends) end();  // an end may change held_ and status_
}

ConsoleResponse LiveListeners::session(const ConsoleRequest& req) {
  ConsoleResponse res;
  res.content_type = "application/json";
  const std::string secure = req.tls ? "; Secure" : "";
  auto state = [&](const Access& a) {
    json j = {{"codes", !cfg_.codes.empty()}, {"signed_in", a.ok},   {"label", a.label},
              {"channels", json::array()},  {"calls", calls_listed_}, {"site", cfg_.site_name}};
    for (int c = 1; c <= 4; ++c)
      if (a.ok && a.channels[static_cast<std::size_t>(c - 1)]) j["channels"].push_back(c);
    if (!a.ok) j["message"] = a.why;
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
  };
  if (req.method == "GET" || req.method == "HEAD") {
    res.body = state(access(req));
    return res;
  }
  if (req.method == "DELETE") {
    const std::string id = cookie_value(req.cookies, kCookie);
    std::erase_if(sessions_, [&](const Session& s) { return !id.empty() && same_secret(s.id, id); });
    res.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0" + secure);
    res.body = json{{"signed_in", false}}.dump();
    return res;
  }
  if (req.method != "POST") {
    res.status = 405;
    res.body = json{{"error", "use GET, POST or DELETE"}}.dump();
    return res;
  }
  const auto now = loop_.now();
  auto wait_answer = [&](long long seconds, const std::string& why) {
    res.status = 429;
    res.headers.emplace_back("Retry-After", std::to_string(seconds));
    res.body = json{{"error", why + ": try again in " + std::to_string(seconds) + " s"}}.dump();
    return res;
  };
  // Every sign-in waits while its address serves a wait or the wrong codes' budget is spent,
  // a right code too: answering it would tell a guesser which of its guesses was right.
  const std::string group = address_group(req.address);
  if (const auto held = attempts_.find(group); held != attempts_.end() && now < held->second.next_try)
    return wait_answer(std::chrono::duration_cast<std::chrono::seconds>(held->second.next_try - now).count() + 1, "too many wrong codes");
  {
    double left = wrong_left_;
    TimePoint counted = wrong_counted_;
    if (!take(left, counted, limits_.wrong_codes_per_minute, now))  // only looked at here
      return wait_answer(seconds_until_one(left, limits_.wrong_codes_per_minute), "too many wrong codes");
  }
  const json body = json::parse(req.body, nullptr, false);
  const auto code = body.is_object() ? body.find("code") : body.end();
  if (code == body.end() || !code->is_string()) {
    res.status = 400;
    res.body = json{{"error", "send {\"code\": \"...\"}"}}.dump();
    return res;
  }
  if (attempts_.size() >= kMaxAddresses && !attempts_.contains(group)) {
    // Forget the groups that owe nothing (no wait, a full budget); failing that, the one seen
    // longest ago.
    for (auto it = attempts_.begin(); it != attempts_.end();) {
      double left = it->second.sign_ins;
      TimePoint counted = it->second.counted;
      const bool full = take(left, counted, limits_.sign_ins_per_minute, now) && left + 1 >= limits_.sign_ins_per_minute;
      it = full && it->second.next_try <= now ? attempts_.erase(it) : std::next(it);
    }
    if (attempts_.size() >= kMaxAddresses)
      attempts_.erase(std::min_element(attempts_.begin(), attempts_.end(),
                                       [](const auto& x, const auto& y) { return x.second.counted < y.second.counted; }));
  }
  Attempts& tries = attempts_[group];
  if (!take(tries.sign_ins, tries.counted, limits_.sign_ins_per_minute, now))
    return wait_answer(seconds_until_one(tries.sign_ins, limits_.sign_ins_per_minute), "too many sign-ins from this address");
  const std::string given = code->get<std::string>();
  int found = -1;
  for (std::size_t i = 0; i < cfg_.codes.size(); ++i)  // every code is compared, found or not
    if (same_secret(cfg_.codes[i].code, given)) found = static_cast<int>(i);
  if (found < 0) {
    tries.wait = std::min(kLongestWait, tries.wait.count() == 0 ? kFirstWait : tries.wait * 2);
    tries.next_try = now + tries.wait;
    take(wrong_left_, wrong_counted_, limits_.wrong_codes_per_minute, now);
    res.status = 401;
    res.body = json{{"error", "that is not an access code"}}.dump();
    return res;
  }
  tries.wait = Millis{0};
  tries.next_try = {};
  const auto& c = cfg_.codes[static_cast<std::size_t>(found)];
  if (expired(found)) {
    res.status = 403;
    res.body = json{{"error", "this access code has expired"}}.dump();
    return res;
  }
  std::string id = random_id();
  if (id.empty()) {
    res.status = 500;
    res.body = json{{"error", "no random numbers for a session"}}.dump();
    return res;
  }
  res.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict" + secure);
  keep_session(found, std::move(id));
  Access a;
  a.ok = true;
  a.channels = c.channels;
  a.label = c.label;
  res.body = state(a);
  return res;
}

// A code keeps a few times its listener limit of sign-ins; past that, or past the limit of all,
// its own oldest goes, so signing in with one code never signs out the holders of another
// (unless that code holds the most and this one none).
void LiveListeners::keep_session(int code, std::string id) {
  const int limit = cfg_.codes[static_cast<std::size_t>(code)].max_listeners;
  const std::size_t per_code = limit > 0 ? static_cast<std::size_t>(limit) * static_cast<std::size_t>(limits_.sessions_per_listener)
                                         : limits_.sessions_unlimited;
  const auto oldest_of = [this](int c) {
    return std::find_if(sessions_.begin(), sessions_.end(), [c](const Session& s) { return s.code == c; });
  };
  const auto count_of = [this](int c) {
    return static_cast<std::size_t>(std::count_if(sessions_.begin(), sessions_.end(), [c](const Session& s) { return s.code == c; }));
  };
  if (count_of(code) >= std::max<std::size_t>(1, per_code)) sessions_.erase(oldest_of(code));
  if (sessions_.size() >= limits_.sessions) {
    int most = code;
    if (count_of(code) == 0) {
      std::map<int, std::size_t> counts;
      for (const Session& s : sessions_) ++counts[s.code];
      most = std::max_element(counts.begin(), counts.end(), [](const auto& x, const auto& y) { return x.second < y.second; })->first;
    }
    sessions_.erase(oldest_of(most));
  }
  sessions_.push_back(Session{std::move(id), code});
}

std::vector<LiveListeners::Listener> LiveListeners::listeners() const {
  std::vector<Listener> out;
  for (const auto& [id, h] : held_)
    if (h.live && h.started) out.push_back(h.who);
  return out;
}

std::string LiveListeners::listeners_json() const {
  json list = json::array();
  for (const auto& l : listeners())
    list.push_back({{"label", l.label}, {"address", l.address}, {"channel", l.channel}, {"since", l.since_ms}});
  return json{{"type", "listeners"}, {"listeners", list}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

int LiveListeners::listening(int channel) const {
  return static_cast<int>(
      std::count_if(held_.begin(), held_.end(), [channel](const auto& h) { return h.second.live && h.second.started && h.second.who.channel == channel; }));
}

}  // namespace quillon
