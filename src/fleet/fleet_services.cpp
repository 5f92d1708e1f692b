#include "fleet/fleet_services.hpp"

#include "fleet/icecast_outputs.hpp"
#include "fleet/mqtt_bridge.hpp"
#include "core/asio_event_loop.hpp"
#include "console/console_server.hpp"
#include "core/log.hpp"

namespace quillon {

FleetServices::FleetServices(AsioEventLoop& loop, Frmserver& form, const config::Config& cfg, MetricSources sources,
                             ConsoleServer* console, audio::ListenStreams* listen)
    : form_(form), sources_(sources) {
  const auto say = [](bool warning, const std::string& text) {
    if (warning)
      log::warning(text);
    else
      log::info(text);
  };
  if (cfg.mqtt.enabled) mqtt_ = std::make_unique<MqttBridge>(loop, form, cfg.mqtt, config::site_name(cfg), say);
  icecast_ = std::make_unique<IcecastOutputs>(loop, form, cfg, listen, say);
  if (console)
    console->add_get_route("/metrics", [this] {
      return ConsoleResponse{200, "text/plain; version=0.0.4; charset=utf-8", metrics_text()};
    });
}

FleetServices::~FleetServices() { stop(); }

void FleetServices::start() {
  if (mqtt_) mqtt_->start();
  icecast_->start();
}

void FleetServices::stop() {
  if (mqtt_) mqtt_->stop();
  icecast_->stop();
}

std::string FleetServices::metrics_text() {
  std::optional<bool> mqtt;
  if (mqtt_) mqtt = mqtt_->connected();
  auto snap = gather_metrics(form_, sources_, mqtt);
  snap.icecast = icecast_->figures();
  if (sources_.calls) snap.calls = sources_.calls();
  if (sources_.alerts) snap.alerts = sources_.alerts();
  if (sources_.commands) snap.commands = sources_.commands();
  return metrics::render(snap);
}

void FleetServices::publish_call(int channel, std::string json) {
  if (mqtt_) mqtt_->publish_call(channel, std::move(json));
}

bool FleetServices::publish_alert(int channel, std::string json) { return mqtt_ && mqtt_->publish_alert(channel, std::move(json)); }

}  // namespace quillon
