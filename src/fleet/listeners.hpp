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
// code, to its channels, until its expiry, within its limit of listeners. A wrong code makes the
// address wait before it may try again, twice as long each time. Live listeners are limited per
// channel (max_listeners) and in all (max_live_listeners).

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

namespace quillon {

class Frmserver;
namespace audio {
class GsmCodec;
}

class LiveListeners {
 public:
  // `console` and `public_port` may be null. `want_levels` is told whether a status socket is
  // open (the level meters run only then).
  LiveListeners(EventLoop& loop, Frmserver& form, const config::Listen& cfg, const std::array<audio::GsmCodec*, 4>& codecs,
                ConsoleServer* console, ConsoleServer* public_port, std::function<void(bool)> want_levels);
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
  // Why this request may not hear `channel` (401 no access, 403 not this channel), or nothing:
  // the same rule as the live path's, for the HTTP streams of the public port.
  std::optional<std::pair<int, std::string>> refusal(const ConsoleRequest& req, int channel);
  // The channels this request's listener may hear, or nothing without access.
  std::optional<std::array<bool, 4>> channels_for(const ConsoleRequest& req);
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
  ConsoleStream open_audio(const ConsoleRequest& req);
  ConsoleStream open_status(const ConsoleRequest& req);
  ConsoleResponse session(const ConsoleRequest& req);
  void add_routes(ConsoleServer& server, bool public_port);
  void tick();
  std::string display_message(int channel) const;
  void send_status(const std::string& text, const std::array<bool, 4>* only_for_channel);

  EventLoop& loop_;
  Frmserver& form_;
  config::Listen cfg_;
  std::array<audio::GsmCodec*, 4> codecs_;
  std::function<void(bool)> want_levels_;
  bool calls_listed_ = false;
  std::function<void(std::string)> publish_;
  void listeners_changed() {
    if (publish_) publish_(listeners_json());
  }
  std::array<std::unique_ptr<audio::LiveFrames>, 4> frames_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  std::map<int, Listener> listening_;  // by listener id
  int next_listener_ = 0;

  struct StatusSocket {
    ConsoleStream::Push push;
    std::array<bool, 4> channels{};
  };
  std::map<int, StatusSocket> status_;
  int next_status_ = 0;
  std::array<std::string, 4> shown_;  // the display text last sent per channel
  EventLoop::TimerId timer_ = 0;

  struct Session {
    std::string id;
    int code = 0;
  };
  std::deque<Session> sessions_;
  struct Attempts {
    TimePoint next_try{};
    Millis wait{0};
  };
  std::map<std::string, Attempts> attempts_;  // wrong codes per address
};

}  // namespace quillon
