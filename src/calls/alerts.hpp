#pragma once
// Alerts: paging tones heard on a channel and rules on stored calls, each sent at once to the
// configured destinations (ntfy, Pushover, a webhook, the apprise command, MQTT).
//
// Tones are listened for on the channels' PCM taps (the same taps the recorder uses), whether or
// not calls are recorded. A tone-out is sent as soon as the tones end; when the call that holds
// or follows them is stored, a second message with the same kind and name carries that call (a
// link, and its file where the service takes attachments). Rules judge each stored call once
// (judge_call): channel, frequency, words of its tags and display (as the call search takes
// them), length, the first call after a quiet spell, active days and hours, and a quiet time
// per rule or tone set.
//
// Each alert is stored with a queue entry per destination in the calls' index before anything
// is sent, so an outage, a restart or a crash neither loses nor doubles one: an entry marked
// sending when the process died goes again, one marked done never does. One request in flight
// per destination, each with a deadline; failures are retried with back-off up to 10 minutes; a
// refused key (401/403, Pushover's invalid token or user) pauses the destination with its reason.
// A busy index delays a step by a second; alerts raised meanwhile wait in memory (bounded).

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio/paging_tones.hpp"
#include "calls/alert_protocols.hpp"
#include "calls/call_recorder.hpp"
#include "calls/call_store.hpp"
#include "calls/upload_http.hpp"
#include "core/event_loop.hpp"
#include "fleet/config.hpp"
#include "fleet/metrics.hpp"

namespace quillon::calls {

struct AlertsOptions {
  // A client per destination (the apprise destination gets the command runner).
  std::function<std::unique_ptr<HttpClient>(const config::AlertSend&)> make_client;
  // Hands an alert to the MQTT bridge (`<prefix>/<channel>/alert`); false when it cannot.
  std::function<bool(int channel, const std::string& json)> publish_mqtt;
  // An alert was raised: its JSON ({"type":"alert", ...}) for the console's event streams.
  std::function<void(const std::string& event)> on_alert;
  std::function<std::uint32_t()> random;  // jitter; default: random_device seeded
};

class Alerts {
 public:
  static constexpr int kMinBackoffMs = 1000;
  static constexpr int kMaxBackoffMs = 600 * 1000;
  static constexpr int kRequestTimeoutMs = 90 * 1000;
  // A tone-out waits this long for its call to end and be stored.
  static constexpr int kCallWaitMs = 10 * 60 * 1000;
  // A call that ended this long before the tones does not belong to them.
  static constexpr int kCallBeforeMs = 5 * 1000;
  // Alerts kept in memory while the index is busy.
  static constexpr std::size_t kMaxUnstored = 256;
  static constexpr std::size_t kTransmissionsKept = 64;

  Alerts(EventLoop& loop, CallStore& store, config::Alerts cfg, std::array<PcmSource, 4> pcm, AlertsOptions options);
  ~Alerts();
  Alerts(const Alerts&) = delete;
  Alerts& operator=(const Alerts&) = delete;

  // Taps the channels that listen for tones and starts sending what waits.
  void start();
  void stop();
  // A call was stored: judged by the rules, and named by a tone-out waiting for its call.
  void stored(const CallRecord& r);
  // The one place a stored call is judged: the rules it raises (names), given the channel's
  // quiet spell before it. Updates the rules' quiet times.
  std::vector<std::string> judge_call(const CallRecord& r);

  // {"destinations":[{"name","type","state","delivered","failures","refused","backlog","last_error","paused"}],
  //  "alerts":[{"id","kind","name","channel","at","call","deliveries":[{"destination","state","reason"}]}]}
  nlohmann::json status_json(const std::array<bool, 4>& channels = {true, true, true, true}, int limit = 50) const;
  // Sends a test message to a destination, outside the queue; `done` gets the answer's text
  // and whether it went through.
  void test(const std::string& dest, std::function<void(bool ok, std::string text)> done);
  bool has_destination(const std::string& name) const;
  metrics::AlertFigures figures() const;

 private:
  struct Destination;
  struct Pending {
    std::string name;
    std::int64_t at_ms;
    std::int64_t tone_ms;  // how long the tones lasted
  };
  void tapped(int channel, const std::int16_t* samples, std::size_t count, int rate);
  void tone_out(int channel, std::size_t set, std::int64_t at_ms);
  void raise(AlertRow a);
  void store_unstored();
  void pump(Destination& d);
  void send(Destination& d, const HttpRequest& req, bool attached);
  void answered(Destination& d, const HttpAnswer& a, bool attached);
  void retry(Destination& d, const std::string& why);
  void set_state(Destination& d, int state, const std::string& reason);
  bool save_unsaved(Destination& d);
  void wait_for_index(Destination& d);
  bool active(const config::ActiveTimes& when, std::int64_t ms) const;
  std::int64_t now_ms() const;
  std::string redact(std::string text) const;

  EventLoop& loop_;
  CallStore& store_;
  config::Alerts cfg_;
  std::array<PcmSource, 4> pcm_;
  AlertsOptions options_;
  std::vector<std::unique_ptr<Destination>> dests_;
  std::vector<std::string> secrets_;
  // Per channel: the tone sets it listens for (indexes into cfg_.tones) and its detector.
  struct Listener {
    std::vector<std::size_t> sets;
    std::unique_ptr<audio::PagingToneDetector> detector;
    int rate = 0;
    std::int64_t fed = 0;  // samples fed to this detector
    int tap = -1;
    std::deque<Pending> pending;  // tone-outs waiting for their call
  };
  std::array<Listener, 4> listeners_;
  std::map<std::string, std::int64_t> last_raised_;       // per tone set or rule: wall ms
  // Per rule, the transmissions (the first stored call's id) it fired for lately: a second
  // radio's recording of one of them raises nothing more.
  std::map<std::string, std::deque<std::int64_t>> fired_for_;
  std::array<std::optional<std::int64_t>, 4> last_end_;  // per channel: the last stored call's end
  std::deque<std::pair<AlertRow, std::vector<std::string>>> unstored_;
  EventLoop::TimerId unstored_timer_ = 0;
  // Test messages on their way: their deadlines and clients, ended by stop().
  std::vector<std::pair<EventLoop::TimerId, std::weak_ptr<HttpClient>>> tests_;
  EventLoop::TimerId start_timer_ = 0;
  std::map<std::string, std::uint64_t> raised_;
  std::uint64_t lost_ = 0;
  bool running_ = false;
  bool busy_said_ = false;
};

}  // namespace quillon::calls
