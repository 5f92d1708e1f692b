#pragma once
// Uploads each stored call to the configured call servers, exactly once, on the loop.
//
// Each destination has a queue in the calls' index (upload_queue: per call and destination
// queued, sending, done, refused with its reason, given up), so a restart resumes where the
// last run stopped: a call marked sending when the process died is sent again (the server had
// not acknowledged it), one marked done never is. A call stored while the process died between
// its row and its queue entry is found again by its id (upload_dests keeps the last id queued).
//
// The queues' statements are the store's (it owns the database); a busy index (another process
// holds it) delays a step by a second, never loses or doubles a call: a state the index did not
// take is kept and written before the destination sends anything else.
//
// One request in flight per destination, each with a deadline; failures are retried with
// exponential back-off and jitter up to 10 minutes; a refused key pauses the destination with its
// reason. MP3 (OpenMHz, Broadcastify) is encoded once per call and kept until no destination needs
// it. Retention keeps a call still queued somewhere unless it is older than keep_days; then it is
// given up and counted.
//
// A transmission heard on several channels (linked calls, call_store.hpp) goes once to each
// destination: its best recording among those the destination takes. A call whose turn comes
// while another channel still records what may be the same transmission waits for it (at most
// kLinkHold); a recording whose transmission already went, or goes as a better recording, is
// marked linked instead of sent.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "calls/call_store.hpp"
#include "calls/upload_http.hpp"
#include "core/event_loop.hpp"
#include "fleet/config.hpp"
#include "fleet/metrics.hpp"

namespace quillon::calls {

struct UploaderOptions {
  int keep_days = 0;  // 0: a queued call is never given up
  std::function<std::unique_ptr<HttpClient>()> make_client;
  // Whether the system clock is synchronised (Broadcastify needs it).
  std::function<bool()> clock_synchronised;
  std::function<std::uint32_t()> random;  // jitter and boundaries; default: random_device seeded
  // Whether another channel may still store a call of the same transmission as this one (it
  // records one now, or calls wait for the index); none: never.
  std::function<bool(const CallRecord&)> partner_pending;
};

// Whether the kernel says the clock is synchronised (adjtimex: not STA_UNSYNC).
bool system_clock_synchronised();

class Uploader {
 public:
  static constexpr int kMinBackoffMs = 1000;
  static constexpr int kMaxBackoffMs = 600 * 1000;
  static constexpr int kRequestTimeoutMs = 90 * 1000;  // a whole step; the client's own is shorter
  static constexpr int kClockCheckMs = 60 * 1000;
  // How long a call waits at most for a recording of the same transmission on another channel,
  // and how often it looks.
  static constexpr Millis kLinkHold{10 * 1000};
  static constexpr Millis kLinkCheck{250};

  // Creates the queues in the store. Throws StoreError.
  Uploader(EventLoop& loop, CallStore& store, std::vector<config::CallUpload> destinations, UploaderOptions options);
  ~Uploader();
  Uploader(const Uploader&) = delete;
  Uploader& operator=(const Uploader&) = delete;

  // Queues what was stored while the uploader did not run and starts sending.
  void start();
  void stop();
  // A call was stored: queued for every destination that takes its channel.
  void stored(const CallRecord& r);

  // {"destinations":[{"name","type","state","backlog","uploaded","failures","refused","given_up",
  //   "last_error","paused"}], "calls":[{"call","destination","state","reason"}] (the newest 50 calls)}
  nlohmann::json status_json() const;
  // Per destination, the state of one call: [{"destination","state","reason"}].
  nlohmann::json call_json(std::int64_t id) const;
  std::vector<metrics::UploadFigures> figures() const;

 private:
  struct Destination;
  void pump(Destination& d);
  void send_first(Destination& d, const CallRecord& r);
  void send(Destination& d, const HttpRequest& req, bool put);
  void answered(Destination& d, const HttpAnswer& a, bool put);
  void finish_call(Destination& d, int state, const std::string& reason);
  void retry(Destination& d, const std::string& why);
  void set_state(Destination& d, int call_state, const std::string& reason);
  bool held(const CallRecord& r);
  // False while the call waits for a partner on another channel (the pump is armed again).
  bool hold_over(Destination& d, const CallRecord& r);
  void drop_mp3_if_unneeded(std::int64_t call_id);
  std::string mp3_of(const CallRecord& r);
  std::int64_t now_ms() const;
  // Pump again once the busy index may be free.
  void wait_for_index(Destination& d);
  // Writes the state the index did not take yet; false while it stays busy.
  bool save_unsaved(Destination& d);
  // The text with every key of ours taken out.
  std::string redact(std::string text) const;

  EventLoop& loop_;
  CallStore& store_;
  UploaderOptions options_;
  std::vector<std::unique_ptr<Destination>> dests_;
  std::vector<std::string> secrets_;
  EventLoop::TimerId start_timer_ = 0;
  bool running_ = false;
};

}  // namespace quillon::calls
