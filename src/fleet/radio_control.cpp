#include "fleet/radio_control.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "console/console_server.hpp"
#include "fleet/command_log.hpp"
#include "fleet/listeners.hpp"
#include "netdata/channels.hpp"
#include "scanner/scanner_link.hpp"
#include "window/frmserver.hpp"

namespace quillon {

namespace control {

std::vector<KeyDef> key_table(const std::string& model, const config::Control& cfg) {
  // Both models answer the BC780 family's codes as far as public sources tell.
  std::vector<KeyDef> keys = {{"SCAN", "KEY01"},  {"HOLD", "KEY07"}, {"PRI", "KEY05"},  {"L/O", "KEY06"},   {"LIMIT", "KEY08"},
                              {"SRCH", "KEY09"},  {"MENU", "KEY11"}, {"TRUNK", "KEY13"}, {"E", "KEY04"},     {".", "KEY03"},
                              {"PUSH", "KEY14"},  {"UP", "KEY15"},   {"DOWN", "KEY16"}};
  for (char d = '0'; d <= '9'; ++d) keys.push_back({std::string(1, d), std::string("KEY02") + d});
  if (const auto changed = cfg.keys.find(model); changed != cfg.keys.end())
    for (const auto& entry : changed->second) {
      const std::string& name = entry.first;
      const std::string& command = entry.second;
      auto it = std::find_if(keys.begin(), keys.end(), [&](const KeyDef& k) { return k.name == name; });
      if (it != keys.end())
        it->command = command;
      else
        keys.push_back({name, command});
    }
  return keys;
}

std::string text_problem(std::string_view text) {
  if (text.empty()) return "the command is empty";
  if (text.size() > 64) return "the command is longer than 64 characters";
  for (unsigned char ch : text) {
    if (ch == '\r' || ch == '\n') return "the command must not hold a line break (CR or LF)";
    if (ch < ' ' || ch > '~') return "the command must be printable ASCII characters only";
  }
  return "";
}

std::optional<std::string> tune_command(std::string_view mhz) {
  const auto dot = mhz.find('.');
  const std::string_view whole = mhz.substr(0, dot);
  const std::string_view frac = dot == std::string_view::npos ? std::string_view() : mhz.substr(dot + 1);
  if (whole.empty() || whole.size() > 4 || frac.size() > 4) return std::nullopt;
  auto digits = [](std::string_view s) { return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }); };
  if (!digits(whole) || !digits(frac)) return std::nullopt;
  long units = std::stol(std::string(whole)) * 10000;
  std::string f(frac);
  f.resize(4, '0');
  units += std::stol(f);
  if (units < 250000 || units > 13000000) return std::nullopt;  // 25 to 1300 MHz
  char text[16];
  std::snprintf(text, sizeof text, "RF%08ld", units);
  return std::string(text);
}

}  // namespace control

namespace {

using nlohmann::json;

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }
std::string error_json(const std::string& why) { return dump(json{{"error", why}}); }

// What the log keeps of text that was refused: printable, and not endless.
std::string loggable(std::string_view text) {
  std::string out;
  for (unsigned char ch : text.substr(0, 80)) out.push_back(ch == '\r' ? '|' : ch == '\n' ? '|' : ch < ' ' || ch > '~' ? '?' : static_cast<char>(ch));
  if (text.size() > 80) out += "...";
  return out;
}

std::string clock_text(WallClock::time_point t) {
  const std::time_t secs = WallClock::to_time_t(t);
  std::tm tm{};
  localtime_r(&secs, &tm);
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", tm.tm_hour, tm.tm_min);
  return text;
}

std::int64_t ms_of(WallClock::time_point t) { return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count(); }

std::string percent_decoded(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out.push_back(' ');
    } else if (s[i] == '%' && i + 2 < s.size()) {
      int v = 0;
      const auto [p, ec] = std::from_chars(s.data() + i + 1, s.data() + i + 3, v, 16);
      if (ec == std::errc() && p == s.data() + i + 3) {
        out.push_back(static_cast<char>(v));
        i += 2;
      } else {
        out.push_back('%');
      }
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::map<std::string, std::string> query_map(std::string_view q) {
  std::map<std::string, std::string> out;
  while (!q.empty()) {
    const auto amp = q.find('&');
    const std::string_view part = q.substr(0, amp);
    const auto eq = part.find('=');
    if (eq != std::string_view::npos) out[std::string(part.substr(0, eq))] = percent_decoded(part.substr(eq + 1));
    if (amp == std::string_view::npos) break;
    q.remove_prefix(amp + 1);
  }
  return out;
}

std::optional<long long> whole(const std::string& s) {
  long long v = 0;
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

}  // namespace

std::string RadioControl::Caller::who() const {
  switch (role) {
    case Role::Owner: return "owner";
    case Role::Operator: return "operator " + label;
    case Role::Listener: return "listener " + label;
  }
  return label;
}

RadioControl::RadioControl(EventLoop& loop, Frmserver& form, ScannerLink& link, const config::Control& cfg, const config::Listen& listen,
                           CommandLog* log)
    : loop_(loop), form_(form), link_(link), cfg_(cfg), codes_(listen.codes), log_(log) {
  for (std::size_t k = 0; k < 4; ++k) {
    keys_[k] = control::key_table(cfg_.models[k], cfg_);
    // The relay writes what a data-port client or MQTT sends; the log hears of it after.
    relays_[k] = form_.Text1[static_cast<int>(k)].on_change;
    form_.Text1[static_cast<int>(k)].on_change = [this, k] {
      if (relays_[k]) relays_[k]();
      relayed(static_cast<int>(k) + 1);
    };
    // Nothing else handles a change of the display text; the console's observers have it first.
    form_.text5[static_cast<int>(k)].on_change = [this, k] {
      if (!display_awaited_[k]) return;
      display_awaited_[k] = false;
      if (on_display_answered) loop_.post([alive = std::weak_ptr<bool>(alive_), this] {
        if (!alive.expired() && on_display_answered) on_display_answered();
      });
    };
  }
}

RadioControl::~RadioControl() {
  *alive_ = false;
  for (std::size_t k = 0; k < 4; ++k) {
    form_.Text1[static_cast<int>(k)].on_change = relays_[k];
    form_.text5[static_cast<int>(k)].on_change = nullptr;
  }
}

std::optional<RadioControl::Holder>& RadioControl::holder(int channel) {
  auto& h = holders_[static_cast<std::size_t>(channel - 1)];
  if (h && loop_.now() - h->last >= std::chrono::seconds(cfg_.idle_s)) h.reset();
  return h;
}

bool RadioControl::over_rate(const std::string& id) {
  const TimePoint now = loop_.now();
  auto& times = recent_[id];
  while (!times.empty() && now - times.front() >= std::chrono::seconds(1)) times.pop_front();
  const bool over = static_cast<int>(times.size()) >= kRateLimit;
  if (!over) times.push_back(now);
  // Controllers that went quiet are forgotten, so the map stays as small as who is active.
  if (recent_.size() > 256)
    std::erase_if(recent_, [&](const auto& r) { return r.second.empty() || now - r.second.back() >= std::chrono::seconds(1); });
  return over;
}

void RadioControl::log(int channel, const std::string& who, const std::string& via, const std::string& text,
                       std::optional<std::string> reply, const std::string& refused) {
  if (!log_) return;
  log_->add(CommandEntry{ms_of(loop_.wall_now()), channel, who, via, text, std::move(reply), refused});
}

void RadioControl::refuse(int channel, const Caller& caller, const std::string& text, int status, const std::string& why, const Done& done) {
  ++figures_.refused[static_cast<std::size_t>(channel - 1)];
  log(channel, caller.who(), caller.via, loggable(text), std::nullopt, why);
  done(status, error_json(why));
}

void RadioControl::command(int channel, const Caller& caller, std::string_view body, Done done) {
  if (channel < 1 || channel > 4) {
    done(404, error_json("no such channel: 1 to 4"));
    return;
  }
  const auto k = static_cast<std::size_t>(channel - 1);
  const json j = json::parse(body, nullptr, false);
  // The text as the log shows a refused request: the command it names, else the body.
  std::string asked = std::string(body);
  if (j.is_object()) {
    if (auto t = j.find("text"); t != j.end() && t->is_string()) asked = t->get<std::string>();
    else if (auto key = j.find("key"); key != j.end() && key->is_string()) asked = "key " + key->get<std::string>();
  }
  if (over_rate(caller.id)) return refuse(channel, caller, asked, 429, "more than 10 commands a second: wait a moment", done);
  if (!caller.may[k]) {
    const std::string why = caller.role == Caller::Role::Listener ? "listeners may not operate the radio"
                                                                  : "this access code may not operate channel " + std::to_string(channel);
    return refuse(channel, caller, asked, 403, why, done);
  }
  if (!j.is_object()) return refuse(channel, caller, asked, 400, "send a JSON object such as {\"key\": \"HOLD\"}", done);

  auto& h = holder(channel);
  const bool someone_else = h && h->id != caller.id;
  const std::string held_by = someone_else ? "channel " + std::to_string(channel) + " is operated by " + h->label + " since " + clock_text(h->since) : "";

  if (j.contains("release")) {
    if (h && (!someone_else || caller.role == Caller::Role::Owner)) h.reset();
    done(200, control_json(channel, caller));
    return;
  }
  if (j.contains("take")) {
    if (someone_else && caller.role != Caller::Role::Owner) return refuse(channel, caller, "take control", 409, held_by, done);
    h = Holder{caller.id, caller.label, loop_.wall_now(), loop_.now()};
    done(200, control_json(channel, caller));
    return;
  }

  std::string text;
  if (auto key = j.find("key"); key != j.end()) {
    const std::string name = key->is_string() ? key->get<std::string>() : "";
    const auto& keys = keys_[k];
    auto it = std::find_if(keys.begin(), keys.end(), [&](const control::KeyDef& d) { return d.name == name; });
    if (it == keys.end()) return refuse(channel, caller, asked, 400, "no key \"" + loggable(name) + "\" on this radio", done);
    text = it->command;
    if (auto held = j.find("hold"); held != j.end() && held->is_boolean() && held->get<bool>()) text += "H";
  } else if (auto t = j.find("text"); t != j.end()) {
    if (caller.role != Caller::Role::Owner) return refuse(channel, caller, asked, 403, "only the owner sends text to the radio", done);
    if (!t->is_string()) return refuse(channel, caller, asked, 400, "the text must be a string", done);
    text = t->get<std::string>();
    if (const std::string why = control::text_problem(text); !why.empty()) return refuse(channel, caller, text, 400, why, done);
  } else if (auto f = j.find("tune"); f != j.end()) {
    std::optional<std::string> rf;
    if (f->is_string()) rf = control::tune_command(f->get<std::string>());
    if (!rf) return refuse(channel, caller, asked, 400, "tune to a frequency in MHz from 25 to 1300, such as \"156.8\"", done);
    text = *rf;
  } else if (auto m = j.find("mode"); m != j.end()) {
    const std::string mode = m->is_string() ? m->get<std::string>() : "";
    if (mode != "AM" && mode != "FM" && mode != "NFM" && mode != "WFM")
      return refuse(channel, caller, asked, 400, "the modulation is AM, FM, NFM or WFM", done);
    text = "RM " + mode;
  } else if (auto a = j.find("attenuator"); a != j.end() && a->is_boolean()) {
    text = a->get<bool>() ? "ATN" : "ATF";
  } else if (auto d = j.find("delay"); d != j.end() && d->is_boolean()) {
    text = d->get<bool>() ? "DLN" : "DLF";
  } else if (auto mu = j.find("mute"); mu != j.end() && mu->is_string() && (*mu == "on" || *mu == "off" || *mu == "auto")) {
    text = *mu == "on" ? "MUN" : *mu == "off" ? "MUF" : "MUA";
  } else if (auto mem = j.find("memory"); mem != j.end() && mem->is_number_integer() && *mem >= 1 && *mem <= 999) {
    char ma[8];
    std::snprintf(ma, sizeof ma, "MA%03d", mem->get<int>());
    text = ma;
  } else {
    return refuse(channel, caller, asked, 400,
                  "send one of key, text, tune, mode, attenuator, delay, mute, memory, take or release", done);
  }

  if (someone_else) return refuse(channel, caller, text, 409, held_by, done);
  if (!link_.channel(channel).poller->timer_enabled())
    return refuse(channel, caller, text, 409, "channel " + std::to_string(channel) + " is switched off", done);
  send(channel, caller, std::move(text), done);
}

void RadioControl::send(int channel, const Caller& caller, std::string text, const Done& done) {
  auto& h = holder(channel);
  if (!h) h = Holder{caller.id, caller.label, loop_.wall_now(), loop_.now()};
  h->last = loop_.now();

  struct Pending {
    bool answered = false;
    EventLoop::TimerId timer = 0;
  };
  auto pending = std::make_shared<Pending>();
  const std::string who = caller.who(), via = caller.via;
  const bool queued = link_.queue_command(
      channel, text, [this, alive = std::weak_ptr<bool>(alive_), pending, channel, who, via, text, done](const std::string& reply) {
        if (alive.expired()) return;
        ++figures_.sent[static_cast<std::size_t>(channel - 1)];
        display_awaited_[static_cast<std::size_t>(channel - 1)] = true;
        log(channel, who, via, text, reply, "");
        if (pending->answered) return;
        pending->answered = true;
        loop_.cancel(pending->timer);
        done(200, dump(json{{"sent", text}, {"reply", reply}}));
      });
  if (!queued) return refuse(channel, caller, text, 429, "the radio is busy: commands are waiting for it", done);
  // A channel stopped after the command was queued never sends it: the page is told.
  pending->timer = loop_.call_after(kAnswerLimit, [pending, done] {
    if (pending->answered) return;
    pending->answered = true;
    done(504, error_json("the radio has not taken the command"));
  });
}

std::string RadioControl::control_json(int channel, const Caller& caller) {
  const auto k = static_cast<std::size_t>(channel - 1);
  const auto& h = holder(channel);
  json keys = json::array();
  for (const auto& key : keys_[k]) keys.push_back(key.name);
  json j = {{"channel", channel},
            {"model", cfg_.models[k]},
            {"may", caller.may[k]},
            {"owner", caller.role == Caller::Role::Owner},
            {"yours", h && h->id == caller.id},
            {"holder", h ? json{{"label", h->label}, {"since", ms_of(h->since)}} : json(nullptr)},
            {"idle_s", cfg_.idle_s},
            {"keys", caller.may[k] ? keys : json::array()}};
  return dump(j);
}

void RadioControl::relayed(int channel) {
  const auto k = static_cast<std::size_t>(channel - 1);
  const std::string& text = form_.Text1[channel - 1].text();
  if (text.empty()) return;
  ++figures_.sent[k];
  if (form_.relaying_mqtt[k]) {
    log(channel, "mqtt", "mqtt", text, std::nullopt, "");
    return;
  }
  const int slot = form_.data_sender[k];
  std::string address;
  ErrorScope err;
  err.step([&] {
    SocketArray& arr = netdata::winsock(form_, channel);
    if (arr.exists(slot)) address = arr[slot].remote_address();
  });
  log(channel, "data " + (address.empty() ? "client " + std::to_string(slot) : address), "data", text, std::nullopt, "");
}

metrics::CommandFigures RadioControl::figures() const {
  metrics::CommandFigures f = figures_;
  if (log_) {
    f.logged = log_->written();
    f.log_dropped = log_->dropped();
  }
  return f;
}

RadioControl::Caller RadioControl::caller_of(const ConsoleRequest& req, bool console_route, LiveListeners* live) {
  Caller c;
  c.via = console_route ? "console" : "listeners";
  if (req.operator_ok) {
    c.role = Caller::Role::Owner;
    c.id = "owner";
    c.label = "owner";
    c.may = {true, true, true, true};
    return c;
  }
  const int code = !console_route && live ? live->code_of(req) : -1;
  if (code >= 0 && static_cast<std::size_t>(code) < codes_.size()) {
    const auto& cd = codes_[static_cast<std::size_t>(code)];
    c.may = cd.control;
    c.role = std::any_of(c.may.begin(), c.may.end(), [](bool b) { return b; }) ? Caller::Role::Operator : Caller::Role::Listener;
    c.label = cd.label;
    // Each sign-in with a code is a controller of its own.
    c.id = "code " + std::to_string(code) + " " + std::to_string(std::hash<std::string>{}(cookie_value(req.cookies, "quillon_listener")));
    return c;
  }
  c.label = req.address;
  c.id = "listener " + req.address;
  return c;
}

void RadioControl::route(const ConsoleRequest& req, std::function<void(ConsoleResponse)> respond, bool console_route, LiveListeners* live) {
  auto answer = [respond](int status, std::string body) { respond(ConsoleResponse{status, "application/json", std::move(body)}); };
  // /api/radio/N/command, /api/radio/N/control (and the same under /live/radio/)
  const std::string_view prefix = console_route ? "/api/radio/" : "/live/radio/";
  const std::string_view rest = std::string_view(req.path).substr(prefix.size());
  const int channel = rest.size() >= 2 && rest[0] >= '1' && rest[0] <= '4' && rest[1] == '/' ? rest[0] - '0' : 0;
  const std::string_view what = channel ? rest.substr(2) : std::string_view();
  if (!channel || (what != "command" && what != "control")) {
    answer(404, error_json("no such resource: " + std::string(prefix) + "N/command or " + std::string(prefix) + "N/control, N from 1 to 4"));
    return;
  }
  if (console_route && !req.operator_ok) {
    answer(401, error_json("sign in first (POST /api/session) or send the access token: Authorization: Bearer TOKEN"));
    return;
  }
  const Caller caller = caller_of(req, console_route, live);
  if (what == "control") {
    if (req.method != "GET" && req.method != "HEAD") {
      answer(405, error_json("use GET"));
      return;
    }
    answer(200, control_json(channel, caller));
    return;
  }
  if (req.method != "POST") {
    answer(405, error_json("use POST"));
    return;
  }
  // A browser does not send JSON to another site without asking first, which is never answered.
  const std::string type = req.content_type.substr(0, req.content_type.find(';'));
  if (type != "application/json") {
    answer(415, error_json("the body must be sent as Content-Type: application/json"));
    return;
  }
  command(channel, caller, req.body, answer);
}

void RadioControl::list_commands(const ConsoleRequest& req, std::function<void(ConsoleResponse)> respond) {
  auto answer = [respond](int status, std::string body) { respond(ConsoleResponse{status, "application/json", std::move(body)}); };
  if (req.path != "/api/commands") {
    answer(404, error_json("no such resource: GET /api/commands"));
    return;
  }
  if (!req.operator_ok) {
    answer(401, error_json("sign in first (POST /api/session) or send the access token: Authorization: Bearer TOKEN"));
    return;
  }
  if (req.method != "GET" && req.method != "HEAD") {
    answer(405, error_json("use GET"));
    return;
  }
  if (!log_) {
    answer(404, error_json("the command log is not kept"));
    return;
  }
  CommandQuery q;
  const auto args = query_map(req.query);
  auto number = [&](const char* name, long long lo, long long hi, long long& out) {
    const auto it = args.find(name);
    if (it == args.end() || it->second.empty()) return true;
    const auto v = whole(it->second);
    if (!v || *v < lo || *v > hi) return false;
    out = *v;
    return true;
  };
  long long channel = 0, limit = 100, before = 0;
  if (!number("channel", 0, 4, channel) || !number("limit", 1, 500, limit) || !number("before", 0, INT64_MAX, before)) {
    answer(400, error_json("channel is 1 to 4, limit 1 to 500, before an entry's id"));
    return;
  }
  q.channel = static_cast<int>(channel);
  q.limit = static_cast<int>(limit);
  q.before = before;
  if (const auto it = args.find("who"); it != args.end()) q.who = it->second.substr(0, 128);
  EventLoop* loop = &loop_;
  log_->query(std::move(q), [loop, respond](std::string text, bool ok) {
    // On the log's thread: the answer goes back to the loop.
    loop->post([respond, text = std::move(text), ok] { respond(ConsoleResponse{ok ? 200 : 503, "application/json", text}); });
  });
}

void RadioControl::serve(ConsoleServer& console, LiveListeners* live) {
  console.add_deferred_route("/api/radio/", [this, live](const ConsoleRequest& r, ConsoleServer::Respond respond) {
    route(r, std::move(respond), true, live);
  });
  console.add_deferred_route("/api/commands", [this](const ConsoleRequest& r, ConsoleServer::Respond respond) {
    list_commands(r, std::move(respond));
  });
  serve_public(console, live);
}

void RadioControl::serve_public(ConsoleServer& server, LiveListeners* live) {
  server.add_deferred_route("/live/radio/", [this, live](const ConsoleRequest& r, ConsoleServer::Respond respond) {
    route(r, std::move(respond), false, live);
  });
}

}  // namespace quillon
