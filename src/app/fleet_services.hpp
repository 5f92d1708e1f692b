#pragma once
// The fleet services of one running server, wired once from main: the metrics page on the
// console listener and the MQTT bridge when the configuration asks for one.

#include <memory>

#include "app/config.hpp"
#include "app/fleet.hpp"

namespace quillon {

class ConsoleServer;
class MqttBridge;

class FleetServices {
 public:
  // `console` may be null (no console: no metrics page).
  FleetServices(EventLoop& loop, Frmserver& form, const config::Config& cfg, MetricSources sources, ConsoleServer* console);
  ~FleetServices();
  FleetServices(const FleetServices&) = delete;
  FleetServices& operator=(const FleetServices&) = delete;

  // After start-up has finished.
  void start();
  // When shutdown begins.
  void stop();

  std::string metrics_text();

 private:
  Frmserver& form_;
  MetricSources sources_;
  std::unique_ptr<MqttBridge> mqtt_;
};

}  // namespace quillon
