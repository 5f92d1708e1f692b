#include "fleet/listeners.hpp"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "audio/gsm_codec.hpp"
#include "window/frmserver.hpp"

namespace quillon {

namespace {

using nlohmann::json;

constexpr std::string_view kCookie = "quillon_listener";
constexpr std::size_t kMaxSessions = 1024;
constexpr std::size_t kMaxAddresses = 4096;  // addresses remembered for their wrong codes
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

}  // namespace

LiveListeners::LiveListeners(EventLoop& loop, Frmserver& form, const config::Listen& cfg,
                             const std::array<audio::GsmCodec*, 4>& codecs, ConsoleServer* console, ConsoleServer* public_port,
                             std::function<void(bool)> want_levels)
    : loop_(loop), form_(form), cfg_(cfg), codecs_(codecs), want_levels_(std::move(want_levels)) {
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
}

void LiveListeners::add_routes(ConsoleServer& server, bool public_port) {
  server.add_socket_route("/live/audio/", [this](const ConsoleRequest& r) { return open_audio(r); });
  server.add_socket_route("/live/status", [this](const ConsoleRequest& r) { return open_status(r); });
  server.add_open_route("/live/session", [this](const ConsoleRequest& r) { return session(r); });
  server.add_page("/live", "live.html");
  if (public_port) {
    server.add_page("/", "live.html");
    for (const char* f : {"js/live.js", "js/live_audio.js", "js/live_worklet.js", "js/dom.js", "js/display.js", "js/audio.js", "js/control.js",
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
    const auto& code = cfg_.codes[static_cast<std::size_t>(s.code)];
    if (code.expires && std::chrono::duration_cast<std::chrono::seconds>(loop_.wall_now().time_since_epoch()).count() >= *code.expires) {
      a.why = "this access code has expired";
      return a;
    }
    a.ok = true;
    a.channels = code.channels;
    a.code = s.code;
    a.label = code.label;
    return a;
  }
  a.why = "enter an access code first";
  return a;
}

std::optional<std::pair<int, std::string>> LiveListeners::refusal(const ConsoleRequest& req, int channel) {
  const Access a = access(req);
  if (!a.ok) return std::pair{401, a.why};
  if (!a.channels[static_cast<std::size_t>(channel - 1)]) return std::pair{403, "this access code does not include channel " + std::to_string(channel)};
  return std::nullopt;
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
  if (auto refused = refusal(req, channel)) {
    answer.status = refused->first;
    answer.message = std::move(refused->second);
    return answer;
  }
  if (!codecs_[k]->active()) {
    answer.status = 404;
    answer.message = "channel " + std::to_string(channel) + " captures no audio";
    return answer;
  }
  const int on_channel = listening(channel);
  if (on_channel >= cfg_.max_listeners) {
    answer.status = 503;
    answer.message = "channel " + std::to_string(channel) + " is full: " + std::to_string(cfg_.max_listeners) + " listeners already";
    return answer;
  }
  if (static_cast<int>(listening_.size()) >= cfg_.max_live_listeners) {
    answer.status = 503;
    answer.message = "the server is full: " + std::to_string(cfg_.max_live_listeners) + " listeners already";
    return answer;
  }
  if (a.code >= 0) {
    const int limit = cfg_.codes[static_cast<std::size_t>(a.code)].max_listeners;
    const auto with_code = std::count_if(listening_.begin(), listening_.end(), [&](const auto& l) { return l.second.code == a.code; });
    if (limit > 0 && with_code >= limit) {
      answer.status = 503;
      answer.message = "this access code is in use by " + std::to_string(limit) + " listeners already";
      return answer;
    }
  }
  answer.content_type = "application/octet-stream";
  answer.keep_newest = kKeepFrames;
  audio::LiveFrames* frames = frames_[k].get();
  answer.start = [this, frames, channel, label = a.label, code = a.code, address = req.address,
                  alive = std::weak_ptr<bool>(alive_)](ConsoleStream::Push push) -> std::function<void()> {
    const int listener = ++next_listener_;
    listening_[listener] = Listener{label, address, channel, ms_since_epoch(loop_.wall_now()), code};
    const int id = frames->subscribe([push](std::span<const std::uint8_t> frame) { push(frame); });
    listeners_changed();
    return [this, frames, id, listener, alive] {
      if (alive.expired()) return;
      listening_.erase(listener);
      if (id) frames->unsubscribe(id);
      listeners_changed();
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
  answer.start = [this, channels = a.channels, label = a.label,
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
    status_[id] = StatusSocket{push, channels};
    if (status_.size() == 1) {
      if (want_levels_) want_levels_(true);
      timer_ = loop_.call_after(kDisplayPeriod, [this] { tick(); });
    }
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

void LiveListeners::levels(const std::string& text) {
  if (!status_.empty()) send_status(text, nullptr);
}

ConsoleResponse LiveListeners::session(const ConsoleRequest& req) {
  ConsoleResponse res;
  res.content_type = "application/json";
  const std::string secure = req.tls ? "; Secure" : "";
  auto state = [&](const Access& a) {
    json j = {{"codes", !cfg_.codes.empty()}, {"signed_in", a.ok}, {"label", a.label}, {"channels", json::array()}, {"calls", calls_listed_}};
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
  // An address is remembered only once it gave a wrong code.
  if (const auto held = attempts_.find(req.address); held != attempts_.end() && now < held->second.next_try) {
    res.status = 429;
    const auto wait = std::chrono::duration_cast<std::chrono::seconds>(held->second.next_try - now).count() + 1;
    res.headers.emplace_back("Retry-After", std::to_string(wait));
    res.body = json{{"error", "too many wrong codes: try again in " + std::to_string(wait) + " s"}}.dump();
    return res;
  }
  const json body = json::parse(req.body, nullptr, false);
  const auto code = body.is_object() ? body.find("code") : body.end();
  if (code == body.end() || !code->is_string()) {
    res.status = 400;
    res.body = json{{"error", "send {\"code\": \"...\"}"}}.dump();
    return res;
  }
  const std::string given = code->get<std::string>();
  int found = -1;
  for (std::size_t i = 0; i < cfg_.codes.size(); ++i)  // every code is compared, found or not
    if (same_secret(cfg_.codes[i].code, given)) found = static_cast<int>(i);
  const auto unix_now = std::chrono::duration_cast<std::chrono::seconds>(loop_.wall_now().time_since_epoch()).count();
  if (found < 0) {
    auto& tries = attempts_[req.address];
    tries.wait = std::min(kLongestWait, tries.wait.count() == 0 ? kFirstWait : tries.wait * 2);
    tries.next_try = now + tries.wait;
    if (attempts_.size() > kMaxAddresses) {
      for (auto it = attempts_.begin(); it != attempts_.end();)  // forget the ones that may try again
        it = it->second.next_try <= now ? attempts_.erase(it) : std::next(it);
    }
    res.status = 401;
    res.body = json{{"error", "that is not an access code"}}.dump();
    return res;
  }
  attempts_.erase(req.address);
  const auto& c = cfg_.codes[static_cast<std::size_t>(found)];
  if (c.expires && unix_now >= *c.expires) {
    res.status = 403;
    res.body = json{{"error", "this access code has expired"}}.dump();
    return res;
  }
  Session s{random_id(), found};
  if (s.id.empty()) {
    res.status = 500;
    res.body = json{{"error", "no random numbers for a session"}}.dump();
    return res;
  }
  if (sessions_.size() >= kMaxSessions) sessions_.pop_front();
  res.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + s.id + "; Path=/; HttpOnly; SameSite=Strict" + secure);
  sessions_.push_back(s);
  Access a;
  a.ok = true;
  a.channels = c.channels;
  a.label = c.label;
  res.body = state(a);
  return res;
}

std::vector<LiveListeners::Listener> LiveListeners::listeners() const {
  std::vector<Listener> out;
  for (const auto& [id, l] : listening_) out.push_back(l);
  return out;
}

std::string LiveListeners::listeners_json() const {
  json list = json::array();
  for (const auto& [id, l] : listening_)
    list.push_back({{"label", l.label}, {"address", l.address}, {"channel", l.channel}, {"since", l.since_ms}});
  return json{{"type", "listeners"}, {"listeners", list}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

int LiveListeners::listening(int channel) const {
  return static_cast<int>(std::count_if(listening_.begin(), listening_.end(), [channel](const auto& l) { return l.second.channel == channel; }));
}

}  // namespace quillon
