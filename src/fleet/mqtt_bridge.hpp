#pragma once
// The MQTT status bridge: publishes each channel's state (retained JSON on
// <prefix>/<channel>/state) when it changes, an availability topic with a last will
// (<prefix>/status: "online" / "offline"), optionally Home Assistant discovery, and optionally
// relays scanner commands from <prefix>/<channel>/command to the radio. Each stored call's
// metadata goes to <prefix>/<channel>/call (not retained).
//
// Threads: libmosquitto runs on a thread of the bridge's own, because connecting (name lookup,
// TCP, TLS handshake) blocks and the loop must never wait for a broker. The loop thread hands
// over at most one pending state per channel (newest wins) under a mutex; the client thread
// publishes with a bounded number of messages in flight and reconnects with back-off.
// Commands from the broker come back to the loop as posted events, a bounded number at a time.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "fleet/config.hpp"
#include "window/frmserver.hpp"

namespace quillon {

class MqttBridge {
 public:
  using Log = std::function<void(bool warning, const std::string&)>;

  // `loop` must accept post() from another thread (AsioEventLoop does). Starts nothing yet.
  MqttBridge(EventLoop& loop, Frmserver& form, config::Mqtt settings, std::string site, Log log);
  ~MqttBridge();
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // Connects in the background and starts watching the channels.
  void start();
  // Publishes "offline", disconnects and ends the client thread (waits at most a few seconds).
  void stop();

  // A stored call's metadata (JSON) on <prefix>/<channel>/call, not retained. At most a few wait
  // for the broker; more are dropped (the call index keeps them).
  void publish_call(int channel, std::string json);
  // An alert (JSON) on <prefix>/<channel>/alert, not retained, as calls are; false when the
  // bridge does not run.
  bool publish_alert(int channel, std::string json) { return publish_event(channel, "alert", std::move(json)); }

  bool connected() const;
  const std::string& prefix() const { return prefix_; }
  // State messages handed to the broker since start-up (all channels).
  std::uint64_t published() const;

 private:
  bool publish_event(int channel, const char* what, std::string json);
  struct Client;
  void watch_tick();
  void relay_commands();

  EventLoop& loop_;
  Frmserver& form_;
  std::string prefix_;
  int interval_ms_ = 250;
  std::array<std::string, kChannels> last_built_;
  EventLoop::TimerId timer_ = 0;
  bool started_ = false;
  bool stopped_ = false;
  // The client thread's state lives as long as the thread: a thread that cannot be stopped in
  // time (stuck connecting to a host that does not answer) is left to the end of the process.
  std::shared_ptr<Client> client_;
};

// A scanner command from MQTT, relayed as a data-port client's "#" command is: the text (less
// one final "#") goes to the channel's serial output with one carriage return. Server commands
// ("SET ...", "GET VER?", "CLR#"), control characters, an inner "#" and text longer than 256
// characters are refused, as are commands for a switched-off channel. True when relayed.
bool relay_mqtt_command(Frmserver& f, int channel, const std::string& payload);

}  // namespace quillon
