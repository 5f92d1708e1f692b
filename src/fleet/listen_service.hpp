#pragma once
// Listening over HTTP: GET /listen/N.ogg (Ogg/Opus) and /listen/N.mp3 for channel N = 1..4, on
// the console listener (under its access rules) and, when [listen] public_port is set, on a
// public listening port (the same paths, open to all unless a gate is set). Both are served by the
// same streaming code (ConsoleServer's stream routes); the encoders behind them are the
// channels' shared ones (TappedListenStreams), which the Icecast sources use too.
//
// Per channel and port at most `max_listeners` listeners, both formats together (503 beyond);
// 404 for a channel that captures no audio. A listener more than a few seconds behind is dropped.

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fleet/config.hpp"
#include "audio/listen_streams.hpp"
#include "console/console_server.hpp"

namespace quillon {

class AsioEventLoop;
class Frmserver;
class PortFaults;

class ListenService {
 public:
  // `console` may be null. `bind_address` ("" for all) is where the public port listens.
  // `faults` (may be null) hears whether the public port opened.
  ListenService(AsioEventLoop& loop, Frmserver& form, const config::Listen& cfg, const std::array<audio::GsmCodec*, 4>& codecs,
                ConsoleServer* console, const std::string& bind_address, PortFaults* faults = nullptr);
  ~ListenService();
  ListenService(const ListenService&) = delete;
  ListenService& operator=(const ListenService&) = delete;

  audio::TappedListenStreams& streams() { return streams_; }
  // HTTP listeners of channel c in one format, on both ports.
  int listeners(int channel, audio::ListenFormat format) const;
  // Encoders of channel c running now (0..2).
  int encoders_running(int channel) const;
  // The public port actually bound, 0 when there is none.
  std::uint16_t public_port() const { return public_ ? public_->port() : 0; }
  ConsoleServer* public_server() { return public_.get(); }
  // Ends the public port's streams and closes it (shutdown).
  void stop();

  // Decides who may open a stream of `channel` on the public port: a refusal (status other than
  // 200, and message), or a place the stream holds for as long as it lasts (it counts against an
  // access code's limit). Without a gate, everybody may.
  struct Place {
    std::function<void()> end;  // set when the stream starts: ends it (a code that expired)
    std::function<void()> release;
    ~Place() {
      if (release) release();
    }
  };
  struct Admission {
    int status = 200;
    std::string message;
    std::shared_ptr<Place> place;
  };
  using Gate = std::function<Admission(const ConsoleRequest& req, int channel)>;
  void set_public_gate(Gate gate) { public_gate_ = std::move(gate); }

 private:
  ConsoleStream open(int port, const ConsoleRequest& req);

  Frmserver& form_;
  config::Listen cfg_;
  audio::TappedListenStreams streams_;
  std::array<std::array<std::array<int, 2>, 4>, 2> count_{};  // [port][channel-1][format]
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  Gate public_gate_;
  std::unique_ptr<ConsoleServer> public_;  // last: its streams end before the rest goes
};

}  // namespace quillon
