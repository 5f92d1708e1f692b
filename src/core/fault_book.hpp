#pragma once
// Faults that persist (a port that cannot listen, a sound device that keeps failing): each is
// said once when it starts and once when it ends, however often the thing at fault is tried in
// between, and counted per kind and channel for the metrics page. Safe to call from any thread
// (the capture threads report through it); the change hook runs on the caller's thread.

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <string>
#include <vector>

namespace quillon {

class FaultBook {
 public:
  struct Entry {
    std::string kind;      // "data_port", "audio_port", "console_port", "listening_port", "sound_library"
    int channel = 0;       // 1..4; 0 for what belongs to no channel
    std::string text;      // the fault as said, while active
    bool active = false;
    std::uint64_t starts = 0;  // times the fault started
  };
  // `fault` true for the line that starts a fault, false for the one that ends it.
  using Say = std::function<void(bool fault, const std::string& line)>;

  explicit FaultBook(Say say) : say_(std::move(say)) {}

  // The fault of (kind, channel) holds, described by `text`; said when it starts.
  void fault(const std::string& kind, int channel, const std::string& text);
  // It no longer holds; `ended` is said when there was one.
  void clear(const std::string& kind, int channel, const std::string& ended);

  std::vector<Entry> entries() const;
  // The active fault's text, or "".
  std::string text(const std::string& kind, int channel) const;

  // After every start or end, with the entry as it now is. May be set while other threads
  // report; once it returns, the hook it replaced is not running and will not run again.
  void set_on_change(std::function<void(const Entry&)> on_change);

 private:
  Entry& entry(const std::string& kind, int channel);

  void changed(const Entry& e);

  Say say_;
  std::mutex hook_mu_;  // held while the hook runs, so replacing it waits for a running call
  std::function<void(const Entry&)> on_change_;
  mutable std::mutex mu_;
  std::vector<Entry> entries_;  // a handful: a few kinds times four channels
};

}  // namespace quillon
