#pragma once
// Operating the radios from the page: the control head's keys and direct actions, who may
// operate which channel, one controller per channel at a time, and the command log.
//
// Roles: the owner (the console: loopback or its token) operates every channel and may send raw
// text; an operator (a [listen] code with `control = [2, 3]`) operates those channels with keys
// and direct actions; anybody else only listens. The server refuses what a role may not do,
// whatever the page shows.
//
// The lock: a command from the owner or an operator takes a free channel; the channel stays
// theirs until they release it, leave (the page releases on its way out) or are idle for
// [control] idle_s; the owner may take over at any time. Data-port clients and MQTT keep their
// own road to the radio (the relay) and are not held by the lock; their commands are logged.
//
// A page command goes into the poll rotation as a step of its own (ScannerLink::queue_command),
// so its answer is the radio's reply to it.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_loop.hpp"
#include "fleet/config.hpp"
#include "fleet/metrics.hpp"

namespace quillon {

class Frmserver;
class ScannerLink;
class CommandLog;
class ConsoleServer;
class LiveListeners;
struct ConsoleRequest;
struct ConsoleResponse;

namespace control {

// A key of the control head: its name on the page and the command the radio gets.
struct KeyDef {
  std::string name;
  std::string command;
};
// The model's table: the built-in one (the BC780 family's codes as public controllers use them),
// with the configuration's changes.
std::vector<KeyDef> key_table(const std::string& model, const config::Control& cfg);

// Why `text` may not go to a radio ("" when it may): 1 to 64 printable ASCII characters.
std::string text_problem(std::string_view text);
// "RF01568000" for "156.8" (MHz, up to four decimals), nothing for a frequency out of range.
std::optional<std::string> tune_command(std::string_view mhz);

}  // namespace control

class RadioControl {
 public:
  static constexpr int kRateLimit = 10;  // commands a second per controller
  static constexpr Millis kAnswerLimit{5000};

  // `log` may be null (nothing is logged).
  RadioControl(EventLoop& loop, Frmserver& form, ScannerLink& link, const config::Control& cfg, const config::Listen& listen,
               CommandLog* log);
  RadioControl(const RadioControl&) = delete;
  RadioControl& operator=(const RadioControl&) = delete;
  ~RadioControl();

  struct Caller {
    enum class Role { Owner, Operator, Listener };
    Role role = Role::Listener;
    std::string id;     // who holds a lock: "owner", or the code and its sign-in
    std::string label;  // shown to others: "owner", the code's label
    std::array<bool, 4> may{};  // channels it may operate
    std::string via = "console";  // "console" or "listeners"
    std::string who() const;      // for the log: "owner", "operator club", "listener club"
  };
  using Done = std::function<void(int status, std::string json)>;

  // One request to channel `channel` (1..4) with its JSON body: {"key": "HOLD"} (and "hold":
  // true for press-and-hold), {"text": "RF01568000"} (owner only), {"tune": "156.8"},
  // {"mode": "NFM"}, {"attenuator": bool}, {"delay": bool}, {"mute": "on"|"off"|"auto"},
  // {"memory": 102}, {"take": true}, {"release": true}. `done` runs once, maybe later.
  void command(int channel, const Caller& caller, std::string_view body, Done done);
  // {"channel", "model", "holder": {"label", "since"} or null, "yours", "may", "owner", "keys": [...]}
  std::string control_json(int channel, const Caller& caller);

  // Routes: /api/radio/N/command, /api/radio/N/control, /api/commands on the console and
  // /live/radio/N/... (operator codes' sessions) on the console and the public listening port.
  void serve(ConsoleServer& console, LiveListeners* live);
  void serve_public(ConsoleServer& server, LiveListeners* live);

  metrics::CommandFigures figures() const;
  // Told when a channel's display changed after a command from the page was answered (the page
  // is waiting to see it: the console sends it without its usual 250 ms of gathering).
  std::function<void()> on_display_answered;

 private:
  struct Holder {
    std::string id, label;
    WallClock::time_point since;
    TimePoint last;
  };
  void refuse(int channel, const Caller& caller, const std::string& text, int status, const std::string& why, const Done& done);
  void send(int channel, const Caller& caller, std::string text, const Done& done);
  void log(int channel, const std::string& who, const std::string& via, const std::string& text, std::optional<std::string> reply,
           const std::string& refused);
  std::optional<Holder>& holder(int channel);  // nothing once idle too long
  bool over_rate(const std::string& id);
  Caller caller_of(const ConsoleRequest& req, bool console_route, LiveListeners* live);
  void route(const ConsoleRequest& req, std::function<void(ConsoleResponse)> respond, bool console_route, LiveListeners* live);
  void list_commands(const ConsoleRequest& req, std::function<void(ConsoleResponse)> respond);
  void relayed(int channel);  // Text1 of `channel` was set: a data-port client's or MQTT's command

  EventLoop& loop_;
  Frmserver& form_;
  ScannerLink& link_;
  config::Control cfg_;
  std::vector<config::Listen::Code> codes_;
  CommandLog* log_;
  std::array<std::vector<control::KeyDef>, 4> keys_;
  std::array<std::optional<Holder>, 4> holders_;
  std::array<std::function<void()>, 4> relays_;
  std::array<bool, 4> display_awaited_{};  // a command was answered; its display read is next  // the relay's own handlers of Text1, put back at the end
  std::map<std::string, std::deque<TimePoint>> recent_;  // per controller, the last second's commands
  metrics::CommandFigures figures_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quillon
