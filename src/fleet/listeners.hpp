#pragma once
// The live path and the listeners' page.
//
// Live audio: WebSocket /live/audio/N (channel N = 1..4): 20 ms Opus frames with their capture
// times (audio/live_frames.hpp) from one encoder per channel; a slow page keeps only the newest
// frames. Status: WebSocket /live/status: the displays of the channels a listener may hear and
// the channels' levels, as JSON text messages. The listeners' page: /live on the console, / on
// the public listening port. /live/session: GET what this browser may hear, POST {"code": ...}
// signs in with an access code (an HttpOnly cookie), DELETE signs out.
//
// Who may listen: the console's operator (its token or sign-in, or a console without a token)
// hears every channel; otherwise everybody when no codes are configured, else the holders of a
// code, to its channels, until its expiry (what it has open is closed then), within its limit of
// listeners (live sockets and the public port's HTTP streams together). A place is taken when a
// listener is admitted, before its handshake, and given back if the handshake fails. Live
// listeners are limited per channel (max_listeners) and in all (max_live_listeners).
//
// Sign-ins: a wrong code makes the address (an IPv6 address: its /64) wait before it may try
// again, twice as long each time; wrong codes from all addresses together have a budget per
// minute; an address has a budget of sign-ins per minute; a code keeps a few times its listener
// limit of sign-ins, its oldest going first, so one code's holders cannot sign out another's.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/live_frames.hpp"
#include "console/console_server.hpp"
#include "core/event_loop.hpp"
#include "fleet/config.hpp"
#include "fleet/listen_service.hpp"

namespace quillon {

class Frmserver;
namespace audio {
class GsmCodec;
}

// The address a sign-in counts against: an IPv6 address by its /64 ("2001:db8:1:2::/64", one
// subscriber's network), an IPv4 address (also one mapped into IPv6) whole.
std::string address_group(std::string_view address);

// The fixed limits of the listeners' sign-ins.
struct SignInLimits {
  std::size_t sessions = 1024;           // sign-ins kept, all codes together
  int sessions_per_listener = 4;         // a code's sign-ins kept: this many times its limit
  std::size_t sessions_unlimited = 256;  // a code without a listener limit
  int sign_ins_per_minute = 10;          // from one address, right codes and wrong ones
  int wrong_codes_per_minute = 60;       // from all addresses together
};

class LiveListeners {
 public:
  using Limits = SignInLimits;

  // `console` and `public_port` may be null. `want_levels` is told whether a status socket is
  // open (the level meters run only then).
  LiveListeners(EventLoop& loop, Frmserver& form, const config::Listen& cfg, const std::array<audio::GsmCodec*, 4>& codecs,
                ConsoleServer* console, ConsoleServer* public_port, std::function<void(bool)> want_levels, Limits limits = {});
  ~LiveListeners();
  LiveListeners(const LiveListeners&) = delete;
  LiveListeners& operator=(const LiveListeners&) = delete;

  // The level meters' event ({"type":"levels",...}), passed on to the status sockets.
  void levels(const std::string& text);

  struct Listener {
    std::string label;  // the code's label, "operator" or "open"
    std::string address;
    int channel = 0;
    double since_ms = 0;  // wall clock
    int code = -1;        // the code's index, -1 for the operator or an open page
  };
  std::vector<Listener> listeners() const;
  // {"type":"listeners","listeners":[{"label":..,"address":..,"channel":..,"since":ms},...]}, for
  // the console's Audio page; `publish` gets it whenever the listeners change.
  std::string listeners_json() const;
  void on_listeners(std::function<void(std::string)> publish) { publish_ = std::move(publish); }
  int listening(int channel) const;
  // Whether this request may open an HTTP stream of `channel` on the public port: the live
  // path's rule (401 no access, 403 not this channel, 503 the code's limit reached), and the
  // place its stream holds.
  ListenService::Admission admit_stream(const ConsoleRequest& req, int channel);
  // The channels this request's listener may hear, or nothing without access.
  std::optional<std::array<bool, 4>> channels_for(const ConsoleRequest& req);
  // /live/session: GET the state, POST {"code": "..."} to sign in, DELETE to sign out.
  ConsoleResponse session(const ConsoleRequest& req);
  // The access code (its index in [listen] codes) this request's listener signed in with and
  // that holds now; -1 otherwise (none, expired, or the console's own operator).
  int code_of(const ConsoleRequest& req);
  // Whether the page has recent calls to list (/live/calls answers); told by whoever records.
  void list_calls(bool on) { calls_listed_ = on; }
  bool encoder_running(int channel) const { return frames_[static_cast<std::size_t>(channel - 1)]->running(); }

 private:
  struct Access {
    bool ok = false;
    std::array<bool, 4> channels{};
    int code = -1;  // index into cfg_.codes, -1 for the operator or an open page
    std::string label;
    std::string why;  // when not ok
  };
  Access access(const ConsoleRequest& req);
  std::optional<std::pair<int, std::string>> refusal(const Access& a, int channel) const;
  bool expired(int code) const;
  int holding(int code) const;  // live sockets and HTTP streams open with this code
  ConsoleStream open_audio(const ConsoleRequest& req);
  ConsoleStream open_status(const ConsoleRequest& req);
  void keep_session(int code, std::string id);
  void add_routes(ConsoleServer& server, bool public_port);
  void tick();
  void watch_expiry();
  void end_expired();
  std::string display_message(int channel) const;
  void send_status(const std::string& text, const std::array<bool, 4>* only_for_channel);

  EventLoop& loop_;
  Frmserver& form_;
  config::Listen cfg_;
  Limits limits_;
  std::array<audio::GsmCodec*, 4> codecs_;
  std::function<void(bool)> want_levels_;
  bool calls_listed_ = false;
  std::function<void(std::string)> publish_;
  void listeners_changed() {
    if (publish_) publish_(listeners_json());
  }
  std::array<std::unique_ptr<audio::LiveFrames>, 4> frames_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  // Every place taken: a live socket from its admission (before its handshake) to its end, an
  // HTTP stream with a code likewise.
  struct Held {
    Listener who;
    bool live = true;
    bool started = false;      // a live socket past its handshake
    std::function<void()> end;  // ends it, once started
  };
  std::map<int, Held> held_;  // by listener id
  int next_listener_ = 0;
  void release(int id);

  struct StatusSocket {
    ConsoleStream::Push push;
    std::array<bool, 4> channels{};
    int code = -1;
  };
  std::map<int, StatusSocket> status_;
  int next_status_ = 0;
  std::array<std::string, 4> shown_;  // the display text last sent per channel
  EventLoop::TimerId timer_ = 0;
  EventLoop::TimerId expiry_timer_ = 0;

  struct Session {
    std::string id;
    int code = 0;
  };
  std::deque<Session> sessions_;
  // Per address group: the wait after wrong codes, and the budget of sign-ins.
  struct Attempts {
    TimePoint next_try{};
    Millis wait{0};
    double sign_ins = 0;  // left, refilled with time
    TimePoint counted{};  // when `sign_ins` was last brought up to date
  };
  std::map<std::string, Attempts> attempts_;
  double wrong_left_ = 0;  // wrong codes all addresses may still give, refilled with time
  TimePoint wrong_counted_{};
};

}  // namespace quillon
