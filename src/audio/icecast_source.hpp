#pragma once
// A channel's listening stream sent to an Icecast mount (libshout source client).
//
// libshout blocks (name lookup, connect, login, every send), so each source runs its libshout
// calls on a thread of its own. The loop only subscribes to the channel's EncodedStream while
// Icecast has accepted the source, and its sink copies each whole page or frame into a bounded
// queue (oldest audio dropped first and counted; Ogg header pages are never dropped). Every
// connection starts a fresh subscription, so an Ogg stream always opens with its header pages.
// A lost or refused connection is retried after 1 s, doubling to 60 s; losing and regaining the
// server is said once each through `log`, and the state is reported to the loop as a text.
// libshout writes with plain send(): the process must ignore SIGPIPE (main does).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/encoded_stream.hpp"
#include "platform/event_loop.hpp"

namespace quillon::audio {

// One [icecast.N] section.
struct IcecastSettings {
  bool enabled = false;
  std::string host;
  int port = 8000;
  std::string mount;  // "/scanner1.ogg"
  std::string user = "source";
  std::string password;
  bool tls = false;
  std::string name, description, genre, url;
  ListenFormat format = ListenFormat::Opus;
  bool is_public = false;
  int title_interval_seconds = 5;  // MP3: least time between two stream-title updates
};

class IcecastSource {
 public:
  using Log = std::function<void(bool warning, const std::string&)>;

  enum class State { Stopped, Connecting, Connected, Retrying };
  struct Figures {
    State state = State::Stopped;
    std::uint64_t bytes_sent = 0;
    std::uint64_t units_dropped = 0;  // pages or frames dropped because Icecast was slow
    std::uint64_t connections = 0;    // connections Icecast accepted since start-up
    std::uint64_t titles_sent = 0;    // MP3 stream titles Icecast took
  };

  // `loop` must accept post() from another thread. `stream` is the channel's stream of the
  // configured format; it must outlive the source. Starts nothing yet.
  IcecastSource(EventLoop& loop, int channel, IcecastSettings settings, EncodedStream& stream, Log log);
  ~IcecastSource();
  IcecastSource(const IcecastSource&) = delete;
  IcecastSource& operator=(const IcecastSource&) = delete;

  void start();
  // Unsubscribes, closes the connection and ends the thread (waits at most a few seconds).
  void stop();

  // MP3: the stream title; sent when it changed, at most once per title interval.
  void set_title(const std::string& title);

  Figures figures() const;
  // "connected to host:port/mount", "connecting to ...", "retrying in 4 s: why", "stopped".
  std::string state_text() const;
  // Called on the loop whenever state_text() changes.
  std::function<void(const std::string&)> on_state;

  // Queue bounds: whole units waiting for Icecast.
  static constexpr std::size_t kMaxQueuedUnits = 512;
  static constexpr std::size_t kMaxQueuedBytes = 256 * 1024;

 private:
  struct Worker;
  void connected(std::uint64_t generation);
  void disconnected();

  EventLoop& loop_;
  EncodedStream& stream_;
  int subscription_ = 0;  // 0: none
  std::shared_ptr<Worker> worker_;
  std::shared_ptr<int> alive_;  // posted events from the thread run only while this lives
  bool started_ = false;
  bool stopped_ = false;
};

// The stream title from a radio's display lines (LCD1..LCD4 as the fleet status gives them):
// the line naming the channel (line 3), else the frequency line (line 2), the characters inside
// its first brackets with the blanks trimmed. Empty when neither says anything.
std::string stream_title(const std::string& line2, const std::string& line3);

}  // namespace quillon::audio
