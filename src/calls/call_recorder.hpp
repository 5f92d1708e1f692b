#pragma once
// The call recorder of the four channels, on the loop: reads the radio's replies (squelch,
// frequency, mode, display, tone), taps each recorded channel's PCM, cuts calls
// (call_cutter.hpp), encodes each once to Ogg/Opus while it runs, and files it (call_filer.hpp:
// a busy index delays a call, never loses it).
// A full disk stops recording with one message; it resumes when space is back.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "calls/call_cutter.hpp"
#include "calls/call_store.hpp"
#include "fleet/config.hpp"
#include "fleet/metrics.hpp"

namespace quillon::calls {

class CallFiler;

// A channel's PCM: subscribe a tap, unsubscribe it, and whether audio is being captured.
struct PcmSource {
  using Tap = std::function<void(const std::int16_t* samples, std::size_t count, int rate)>;
  std::function<int(Tap)> add;
  std::function<void(int)> remove;
  std::function<bool()> capturing;
};

class CallRecorder {
 public:
  // Free space below which recording stops, and above which it starts again.
  static constexpr std::int64_t kStopFreeBytes = 1 << 20;
  static constexpr std::int64_t kResumeFreeBytes = 4 << 20;

  // Throws StoreError when the index cannot be opened.
  CallRecorder(EventLoop& loop, const config::Calls& cfg, const std::filesystem::path& dir, std::string site,
               std::array<PcmSource, 4> sources);
  ~CallRecorder();
  CallRecorder(const CallRecorder&) = delete;
  CallRecorder& operator=(const CallRecorder&) = delete;

  // A reply of channel 1..4 to poll step `step` (ScannerLink::on_reply).
  void on_reply(int channel, int step, std::string_view reply);

  // A call was stored: its JSON object ({"type":"call", ...}).
  std::function<void(const std::string& event)> on_call;
  // A call was stored (after on_call): its row, for the upload queues and the MQTT bridge.
  std::function<void(const CallRecord&)> on_stored;
  // A channel's recording state as a short text (the Audio page).
  std::function<void(int channel, const std::string& text)> on_state;

  void start();
  // Ends running calls (kept when long enough) and unsubscribes the taps.
  void stop();

  CallStore& store() { return *store_; }
  // Whether another channel may still store a call of the same transmission as `r`: it records
  // a call now that began before `r` ended, on a frequency that may be r's; or calls wait for
  // the index (UploaderOptions::partner_pending).
  bool partner_pending(const CallRecord& r) const;
  metrics::CallsFigures figures() const;
  bool disk_full() const { return disk_full_; }

 private:
  class Channel;
  void tick();
  void check_space();
  void set_disk_full(bool full, const std::string& why);
  void stored(int channel, CallRecord& r);
  void failed(const std::string& why);
  void succeeded();
  void retain();
  std::int64_t free_bytes() const;
  // "index busy since 14:02:11 (3 calls wait)", or nothing while the index takes every call.
  std::string index_busy() const;

  EventLoop& loop_;
  config::Calls cfg_;
  std::string site_;
  std::unique_ptr<CallStore> store_;
  std::unique_ptr<CallFiler> filer_;
  std::array<std::unique_ptr<Channel>, 4> channels_;
  EventLoop::TimerId tick_timer_ = 0;
  bool running_ = false;
  bool disk_full_ = false;
  bool failing_ = false;
  int ticks_ = 0;
};

}  // namespace quillon::calls
