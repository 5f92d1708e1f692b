#include "fleet/mqtt_bridge.hpp"

#include <mosquitto.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <tuple>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "fleet/fleet.hpp"

namespace quillon {

namespace {

constexpr int kMaxInflight = 4;            // state messages written but not yet confirmed sent
constexpr std::size_t kMaxCommands = 16;   // commands waiting for the loop
constexpr std::size_t kMaxCommandText = 256;
constexpr std::size_t kMaxCalls = 64;      // call messages waiting for the broker
constexpr int kMinBackoffSeconds = 1;
constexpr int kMaxBackoffSeconds = 60;
constexpr auto kStopWait = std::chrono::seconds(3);

std::once_flag g_lib_once;

std::string node_id(const std::string& site, int channel) {
  std::string id = "quillon_";
  for (char c : site) id += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
  return id + "_" + std::to_string(channel);
}

}  // namespace

// Everything the client thread touches. Owned jointly by the bridge and the thread.
struct MqttBridge::Client {
  config::Mqtt cfg;
  std::string site, prefix, availability;
  Log log;

  std::mutex mu;
  std::condition_variable wake;
  std::array<std::string, kChannels> payload;  // newest state per channel
  std::array<bool, kChannels> dirty{};
  std::vector<std::pair<int, std::string>> commands;
  // Call and alert messages: channel, topic's last part, payload; newest kept when full (older
  // ones are in the index).
  std::deque<std::tuple<int, std::string, std::string>> calls;
  std::function<void()> post_commands;  // cleared when the bridge goes; under mu
  bool stop = false;
  std::atomic<bool> finished{false};
  std::atomic<bool> connected{false};
  std::atomic<std::uint64_t> published{0};

  // Client thread only.
  mosquitto* mosq = nullptr;
  int inflight = 0;
  bool ever_connected = false;
  bool reported_down = false;
  int backoff = kMinBackoffSeconds;

  std::string where() const { return cfg.host + ":" + std::to_string(cfg.port); }

  void down(const std::string& why) {
    if (reported_down) return;
    reported_down = true;
    log(true, (ever_connected ? "lost the MQTT broker at " : "cannot reach the MQTT broker at ") + where() + ": " + why +
                  "; retrying in the background");
  }

  void publish(const std::string& topic, const std::string& body, int qos, bool retain) {
    mosquitto_publish(mosq, nullptr, topic.c_str(), static_cast<int>(body.size()), body.data(), qos, retain);
  }

  // Publishes what changed, newest state only, while few messages are in flight; then calls.
  void flush() {
    if (!connected) return;
    for (;;) {
      std::tuple<int, std::string, std::string> call;
      {
        std::lock_guard lock(mu);
        if (calls.empty() || inflight >= kMaxInflight) break;
        call = std::move(calls.front());
        calls.pop_front();
      }
      int mid = 0;
      const std::string topic = prefix + "/" + std::to_string(std::get<0>(call)) + "/" + std::get<1>(call);
      const std::string& body = std::get<2>(call);
      if (mosquitto_publish(mosq, &mid, topic.c_str(), static_cast<int>(body.size()), body.data(), 0, false) ==
          MOSQ_ERR_SUCCESS)
        ++inflight;
    }
    for (int k = 0; k < kChannels && inflight < kMaxInflight; ++k) {
      std::string body;
      {
        std::lock_guard lock(mu);
        if (!dirty[static_cast<std::size_t>(k)]) continue;
        dirty[static_cast<std::size_t>(k)] = false;
        body = payload[static_cast<std::size_t>(k)];
      }
      int mid = 0;
      const std::string topic = prefix + "/" + std::to_string(k + 1) + "/state";
      if (mosquitto_publish(mosq, &mid, topic.c_str(), static_cast<int>(body.size()), body.data(), 0, true) == MOSQ_ERR_SUCCESS) {
        ++inflight;
        ++published;
      }
    }
  }

  void discovery() {
    const std::string dp = cfg.discovery_prefix;
    for (int ch = 1; ch <= kChannels; ++ch) {
      const std::string node = node_id(site, ch);
      const nlohmann::json device = {{"identifiers", {node}},
                                     {"name", "Quillon " + site + " channel " + std::to_string(ch)},
                                     {"manufacturer", "Quillon"},
                                     {"model", "Scanner channel"}};
      const std::string state = prefix + "/" + std::to_string(ch) + "/state";
      auto entity = [&](const std::string& component, const std::string& object, const std::string& name, nlohmann::json extra) {
        nlohmann::json j = {{"name", name},
                            {"unique_id", node + "_" + object},
                            {"object_id", node + "_" + object},
                            {"state_topic", state},
                            {"availability_topic", availability},
                            {"payload_available", "online"},
                            {"payload_not_available", "offline"},
                            {"device", device}};
        j.update(extra);
        publish(dp + "/" + component + "/" + node + "/" + object + "/config", j.dump(), 1, true);
      };
      entity("sensor", "display", "Display", {{"value_template", "{{ value_json.display | join(' | ') | truncate(255) }}"}, {"icon", "mdi:radio"}});
      entity("sensor", "signal", "Signal level",
             {{"value_template", "{{ value_json.signal }}"}, {"state_class", "measurement"}, {"icon", "mdi:signal"}});
      entity("binary_sensor", "serial_problem", "Communication problem",
             {{"device_class", "problem"}, {"value_template", "{{ 'ON' if value_json.serial == 'fault' else 'OFF' }}"}});
      entity("binary_sensor", "audio_problem", "Audio problem",
             {{"device_class", "problem"}, {"value_template", "{{ 'ON' if value_json.audio == 'fault' else 'OFF' }}"}});
    }
  }

  static Client& self(void* obj) { return *static_cast<Client*>(obj); }

  static void on_connect(mosquitto*, void* obj, int rc) {
    Client& c = self(obj);
    if (rc != 0) {
      c.down(mosquitto_connack_string(rc));
      mosquitto_disconnect(c.mosq);
      return;
    }
    c.log(false, std::string(c.ever_connected ? "MQTT broker at " + c.where() + " reached again" : "connected to the MQTT broker at " + c.where()) +
                     ", publishing under " + c.prefix);
    c.ever_connected = true;
    c.reported_down = false;
    c.backoff = kMinBackoffSeconds;
    c.inflight = 0;
    c.connected = true;
    c.publish(c.availability, "online", 1, true);
    if (c.cfg.discovery) c.discovery();
    if (c.cfg.commands) {
      const std::string sub = c.prefix + "/+/command";
      mosquitto_subscribe(c.mosq, nullptr, sub.c_str(), 1);
    }
    {
      // The broker may have lost the retained states (restarted without persistence).
      std::lock_guard lock(c.mu);
      for (std::size_t k = 0; k < kChannels; ++k) c.dirty[k] = !c.payload[k].empty();
    }
    c.flush();
  }

  static void on_disconnect(mosquitto*, void* obj, int rc) {
    Client& c = self(obj);
    c.connected = false;
    c.inflight = 0;
    if (rc != 0) c.down(mosquitto_strerror(rc));
  }

  static void on_publish(mosquitto*, void* obj, int) {
    Client& c = self(obj);
    if (c.inflight > 0) --c.inflight;
    c.flush();
  }

  static void on_message(mosquitto*, void* obj, const mosquitto_message* m) {
    Client& c = self(obj);
    // A retained command is old news the broker replays at every (re)connect: never relayed.
    if (!c.cfg.commands || m->retain || !m->topic || m->payloadlen < 0 || static_cast<std::size_t>(m->payloadlen) > kMaxCommandText) return;
    const std::string topic = m->topic;
    const std::string head = c.prefix + "/";
    if (topic.rfind(head, 0) != 0 || topic.size() != head.size() + std::string("1/command").size()) return;
    const char n = topic[head.size()];
    if (n < '1' || n > '0' + kChannels || topic.compare(head.size() + 1, std::string::npos, "/command") != 0) return;
    std::lock_guard lock(c.mu);
    if (c.commands.size() >= kMaxCommands) return;  // a flood: the loop relays what it has first
    c.commands.emplace_back(n - '0', std::string(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen)));
    if (c.commands.size() == 1 && c.post_commands) c.post_commands();
  }

  // Waits out the back-off; false when asked to stop meanwhile.
  bool pause() {
    std::unique_lock lock(mu);
    const bool stopping = wake.wait_for(lock, std::chrono::seconds(backoff), [&] { return stop; });
    backoff = std::min(backoff * 2, kMaxBackoffSeconds);
    return !stopping;
  }

  bool stopping() {
    std::lock_guard lock(mu);
    return stop;
  }

  void run() {
    mosq = mosquitto_new(cfg.client_id.c_str(), true, this);
    if (!mosq) {
      log(true, "MQTT client cannot be created");
      finished = true;
      return;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_will_set(mosq, availability.c_str(), 7, "offline", 1, true);
    if (!cfg.username.empty()) mosquitto_username_pw_set(mosq, cfg.username.c_str(), cfg.password.empty() ? nullptr : cfg.password.c_str());
    if (cfg.tls) {
      const char* ca = cfg.ca_file.empty() ? nullptr : cfg.ca_file.c_str();
      const int rc = mosquitto_tls_set(mosq, ca, ca ? nullptr : "/etc/ssl/certs", cfg.cert_file.empty() ? nullptr : cfg.cert_file.c_str(),
                                       cfg.key_file.empty() ? nullptr : cfg.key_file.c_str(), nullptr);
      if (rc != MOSQ_ERR_SUCCESS) log(true, std::string("MQTT TLS set-up failed: ") + mosquitto_strerror(rc));
    }
    mosquitto_connect_callback_set(mosq, &Client::on_connect);
    mosquitto_disconnect_callback_set(mosq, &Client::on_disconnect);
    mosquitto_publish_callback_set(mosq, &Client::on_publish);
    mosquitto_message_callback_set(mosq, &Client::on_message);

    bool session = false, first = true;
    while (!stopping()) {
      if (!session) {
        const int rc = first ? mosquitto_connect(mosq, cfg.host.c_str(), cfg.port, cfg.keepalive_seconds) : mosquitto_reconnect(mosq);
        first = false;
        if (rc != MOSQ_ERR_SUCCESS) {
          down(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
          if (!pause()) break;
          continue;
        }
        session = true;
      }
      // A short wait: states handed over by the loop go out within it.
      const int rc = mosquitto_loop(mosq, 100, 1);
      if (rc != MOSQ_ERR_SUCCESS) {
        session = false;
        connected = false;
        down(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
        if (!pause()) break;
        continue;
      }
      flush();
    }
    if (session && connected) {
      // A clean goodbye: the broker keeps "offline" instead of sending the will.
      int mid = 0;
      mosquitto_publish(mosq, &mid, availability.c_str(), 7, "offline", 1, true);
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      while (std::chrono::steady_clock::now() < end && mosquitto_want_write(mosq))
        if (mosquitto_loop(mosq, 50, 1) != MOSQ_ERR_SUCCESS) break;
      mosquitto_disconnect(mosq);
      mosquitto_loop(mosq, 50, 1);
    }
    mosquitto_destroy(mosq);
    mosq = nullptr;
    finished = true;
  }
};

MqttBridge::MqttBridge(EventLoop& loop, Frmserver& form, config::Mqtt settings, std::string site, Log log)
    : loop_(loop), form_(form), client_(std::make_shared<Client>()) {
  std::call_once(g_lib_once, [] { mosquitto_lib_init(); });
  if (settings.client_id.empty()) settings.client_id = "quillon-" + site;
  prefix_ = settings.topic_prefix.empty() ? "quillon/" + site : settings.topic_prefix;
  interval_ms_ = settings.state_interval_ms;
  client_->cfg = std::move(settings);
  client_->site = std::move(site);
  client_->prefix = prefix_;
  client_->availability = prefix_ + "/status";
  client_->log = std::move(log);
}

MqttBridge::~MqttBridge() { stop(); }

void MqttBridge::publish_call(int channel, std::string json) { publish_event(channel, "call", std::move(json)); }

bool MqttBridge::publish_event(int channel, const char* what, std::string json) {
  if (!started_ || stopped_ || channel < 1 || channel > kChannels) return false;
  std::lock_guard lock(client_->mu);
  if (client_->calls.size() >= kMaxCalls) client_->calls.pop_front();
  client_->calls.emplace_back(channel, what, std::move(json));
  return true;
}

bool MqttBridge::connected() const { return client_->connected.load(); }
std::uint64_t MqttBridge::published() const { return client_->published.load(); }

void MqttBridge::start() {
  if (started_) return;
  started_ = true;
  {
    std::lock_guard lock(client_->mu);
    client_->post_commands = [this] { loop_.post([this] { relay_commands(); }); };
  }
  watch_tick();
  std::thread([c = client_] { c->run(); }).detach();
}

void MqttBridge::stop() {
  if (!started_ || stopped_) return;
  stopped_ = true;
  loop_.cancel(timer_);
  {
    std::lock_guard lock(client_->mu);
    client_->stop = true;
    client_->post_commands = nullptr;
  }
  client_->wake.notify_all();
  const auto end = std::chrono::steady_clock::now() + kStopWait;
  while (!client_->finished && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// At most one state per channel per interval; only what changed is handed over.
void MqttBridge::watch_tick() {
  for (int ch = 1; ch <= kChannels; ++ch) {
    std::string body = state_json(channel_status(form_, ch));
    auto& last = last_built_[static_cast<std::size_t>(ch - 1)];
    if (body == last) continue;
    last = body;
    std::lock_guard lock(client_->mu);
    client_->payload[static_cast<std::size_t>(ch - 1)] = std::move(body);
    client_->dirty[static_cast<std::size_t>(ch - 1)] = true;
  }
  timer_ = loop_.call_after(Millis(interval_ms_), [this] { watch_tick(); });
}

void MqttBridge::relay_commands() {
  std::vector<std::pair<int, std::string>> todo;
  {
    std::lock_guard lock(client_->mu);
    todo.swap(client_->commands);
  }
  for (const auto& [channel, text] : todo) relay_mqtt_command(form_, channel, text);
}

bool relay_mqtt_command(Frmserver& f, int channel, const std::string& payload) {
  if (channel < 1 || channel > kChannels || !channel_enabled(f, channel)) return false;
  std::string command = payload;
  if (!command.empty() && command.back() == '#') command.pop_back();
  if (command.empty() || command.size() > kMaxCommandText) return false;
  for (unsigned char ch : command)
    if (ch < ' ' || ch > '~' || ch == '#') return false;  // radio commands are printable ASCII
  // Only scanner commands: the data port's server commands are not for MQTT.
  for (std::string_view server : {"SET ", "GET VER?", "CLR"})
    if (command.rfind(server, 0) == 0) return false;
  ErrorScope err;
  return err.step([&] {
    ui::TextBox& out = f.Text1[channel - 1];
    const auto k = static_cast<std::size_t>(channel - 1);
    f.relaying_mqtt[k] = true;  // the command log says where it came from
    out.set_text("");  // a command repeated word for word is sent again
    out.set_text(command);
    f.relaying_mqtt[k] = false;
  });
}

}  // namespace quillon
