#pragma once
// The fleet services of one running server, wired once from main: the metrics page on the
// console listener, the MQTT bridge and the channels' Icecast sources when the configuration
// asks for them.

#include <memory>

#include "fleet/config.hpp"
#include "fleet/fleet.hpp"

namespace quillon {

class ConsoleServer;
class MqttBridge;
class IcecastOutputs;
class AsioEventLoop;
namespace audio {
class ListenStreams;
}

class FleetServices {
 public:
  // `console` may be null (no console: no metrics page); `listen` may be null (no listening
  // streams: no Icecast output).
  FleetServices(AsioEventLoop& loop, Frmserver& form, const config::Config& cfg, MetricSources sources, ConsoleServer* console,
                audio::ListenStreams* listen = nullptr);
  ~FleetServices();
  FleetServices(const FleetServices&) = delete;
  FleetServices& operator=(const FleetServices&) = delete;

  // After start-up has finished.
  void start();
  // When shutdown begins.
  void stop();

  std::string metrics_text();
  // A stored call's metadata for the MQTT bridge, when it runs.
  void publish_call(int channel, std::string json);
  // An alert for the MQTT bridge; false when no bridge runs.
  bool publish_alert(int channel, std::string json);

 private:
  Frmserver& form_;
  MetricSources sources_;
  std::unique_ptr<MqttBridge> mqtt_;
  std::unique_ptr<IcecastOutputs> icecast_;
};

}  // namespace quillon
