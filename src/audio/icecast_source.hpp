#pragma once
// A channel's listening stream sent to an Icecast mount: an HTTP PUT source client on the loop's
// own io_context (Boost.Beast, OpenSSL for `tls`), no thread.
//
// The source subscribes to the channel's EncodedStream only while Icecast has accepted it, and
// its sink copies each whole page or frame into a bounded queue that is written one unit at a
// time (oldest audio dropped first and counted; Ogg header pages are never dropped). Every
// connection starts a fresh subscription, so an Ogg stream always opens with its header pages.
// Every step has a deadline (connect, login, each write), and one read stays pending on the
// connection so a server that goes away is noticed at once. A lost or refused connection is
// retried after 1 s, doubling to 60 s; everything an attempt held goes with it. Losing and
// regaining the server is said once each through `log`.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/encoded_stream.hpp"
#include "core/event_loop.hpp"

namespace quillon {
class AsioEventLoop;
}

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

  // Runs on `loop`'s io_context. `stream` is the channel's stream of the configured format; it
  // must outlive the source. Starts nothing yet.
  IcecastSource(AsioEventLoop& loop, int channel, IcecastSettings settings, EncodedStream& stream, Log log);
  ~IcecastSource();
  IcecastSource(const IcecastSource&) = delete;
  IcecastSource& operator=(const IcecastSource&) = delete;

  void start();
  // Unsubscribes and closes the connection; nothing of the source runs afterwards.
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
  // Connecting (name lookup, connect, TLS, login) and each write of the stream.
  static constexpr int kStepTimeoutSeconds = 10;

  struct Client;

 private:
  std::shared_ptr<Client> client_;  // shared with its pending operations
};

// The stream title from a radio's display lines (LCD1..LCD4 as the fleet status gives them):
// the line naming the channel (line 3), else the frequency line (line 2), the characters inside
// its first brackets with the blanks trimmed. Empty when neither says anything.
std::string stream_title(const std::string& line2, const std::string& line3);

}  // namespace quillon::audio
