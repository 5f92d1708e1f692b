#pragma once
// The operator console: an HTTP interface to the window model, served on the loop thread.
//
//   GET  /             the console page (its files are embedded in the binary)
//   GET  /api/window   the whole window as JSON (controls, pending message boxes, caption)
//   GET  /api/events   WebSocket: a snapshot, then one JSON message per change
//   POST /api/action   one operator action (click, set_text, select, set_value, acknowledge)
//   GET|POST|DELETE /api/session   sign-in state, sign in with the token, sign out
//   GET  stream routes (/listen/...)  live audio, added by the server's composition
//   GET  request routes (/api/calls...)  answers that read the request, added likewise
//
// Bound to 127.0.0.1:8785 unless told otherwise. A non-loopback address needs an access token;
// with a token the API needs "Authorization: Bearer TOKEN" or the cookie of a sign-in. TLS when
// given a certificate and key. docs/console.md has the details and curl examples. Boost.Beast
// stays inside console_server.cpp.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon {

class AsioEventLoop;
namespace ui {
class Window;
}

struct ConsoleConfig {
  std::string address = "127.0.0.1";
  std::uint16_t port = 8785;
  std::string token;  // empty: no token (loopback addresses only)
  std::filesystem::path tls_cert, tls_key;  // PEM files; both empty: plain HTTP
  // A public listening port: only the stream routes, open to everybody on any address (no
  // token, no page, no API, no window).
  bool listen_only = false;
};

// The answer of an added route.
struct ConsoleResponse {
  int status = 200;
  std::string content_type;
  std::string body;
  // Further headers (control characters are dropped); a route that sets Cache-Control keeps it.
  std::vector<std::pair<std::string, std::string>> headers{};
};

// What an added route or a live socket sees of its request.
struct ConsoleRequest {
  std::string method;
  std::string path;   // without the query
  std::string query;  // after '?', still encoded
  std::string body, content_type, cookies, address;
  bool head = false;
  bool operator_ok = false;  // the console's own access holds (token, sign-in, or none needed)
  bool tls = false;
  // A request header's value ("" when absent); only while the route's handler runs.
  std::function<std::string(std::string_view name)> header;
};

// A live answer to GET: its head, then whatever the source pushes, until either side ends it.
struct ConsoleStream {
  int status = 200;     // anything else refuses the request with `message`
  std::string message;
  std::string content_type;
  std::vector<std::pair<std::string, std::string>> headers;  // control characters are dropped
  // The connection calls it once the head is sent: `push` queues one unit (false once the
  // connection has ended or was dropped; a unit is never cut); an empty unit ends the connection
  // once the units before it are out (a WebSocket with a close frame); `start` returns what
  // stops the source, called once when the connection ends.
  using Push = std::function<bool(std::span<const std::uint8_t> unit)>;
  std::function<std::function<void()>(Push push)> start;
  // A listener whose oldest unit waiting has been queued this long (or that has this much
  // waiting) is dropped; the others go on.
  std::chrono::milliseconds max_behind{4000};
  std::size_t max_queued_bytes = 256 * 1024;
  // Over a WebSocket (live sockets) at most this many units wait; a slow reader loses the
  // oldest and stays at the newest. Units that start with '{' go as text messages, the others
  // as binary ones.
  std::size_t keep_newest = 16;
};

// The value of "--console": "off" gives nothing, otherwise ADDR:PORT ("127.0.0.1:8785",
// "[::1]:8785", "0.0.0.0:8785", "localhost:8785"). Throws std::invalid_argument with a message.
std::optional<ConsoleConfig> parse_console_option(std::string_view value);

// The value of cookie `name` in a Cookie header's text ("a=1; b=2"), "" when it is not there.
std::string cookie_value(std::string_view cookies, std::string_view name);

// Whether the console's address is a loopback one (no token needed).
bool is_loopback(const ConsoleConfig& config);
// "http://127.0.0.1:8785/", "http://[::1]:8785/", "https://..." with TLS.
std::string console_url(const ConsoleConfig& config, std::uint16_t port);

// The access token kept in a file (its first line, blanks trimmed). Throws std::runtime_error
// when the file cannot be read or holds no usable token.
std::string read_console_token(const std::filesystem::path& file);

class ConsoleServer {
 public:
  // Listens at once. Throws std::runtime_error when the address cannot be bound, or when it is
  // not a loopback address and no token is given; std::invalid_argument when the TLS
  // certificate or key cannot be used.
  ConsoleServer(AsioEventLoop& loop, ui::Window& window, const ConsoleConfig& config);
  ~ConsoleServer();
  ConsoleServer(const ConsoleServer&) = delete;
  ConsoleServer& operator=(const ConsoleServer&) = delete;

  // The port actually bound (useful with port 0).
  std::uint16_t port() const;
  // Closes the listener and every connection; the window is not touched afterwards. Each event
  // stream gets the "stopped" event and closes once that is written (while the io_context
  // runs). Call it on the loop thread (or once the loop no longer runs).
  void stop();
  // stop(), then `done` once every event stream has been told, or after `limit`.
  void shutdown(std::function<void()> done, std::chrono::milliseconds limit = std::chrono::milliseconds(1000));

  // Serves GET `path` ("/metrics") with what `handler` returns, under the same access rules as
  // /api/window. The handler runs on the loop thread.
  void add_get_route(std::string path, std::function<ConsoleResponse()> handler);

  // Serves GET and HEAD of every path that starts with `prefix` ("/api/calls") with what
  // `handler` answers for the request, under the API's access rules. On the loop thread.
  void add_request_route(std::string prefix, std::function<ConsoleResponse(const ConsoleRequest&)> handler);

  // Sends `text` (one JSON object with a "type") to every open event stream as a message of its
  // own, for events that are not changes of the window (the audio levels). Such events are
  // dropped, rather than queued, for a stream that is already behind: the next one supersedes
  // them. Nothing happens while no stream is open.
  void publish(std::string text);
  // Publishes a state a page must not miss (who listens, a stored call). A stream that is behind
  // holds it instead, the newest of its `kind` replacing an older one, and gets it, or `instead`
  // when given (a short "you missed some" word), as soon as it has caught up.
  void publish_state(const std::string& kind, std::string text, std::string instead = {});
  // Sends the window's changes waiting for their 250 ms turn now: for a change an operator waits
  // to see (the display after a command from the page).
  void flush_changes();
  // `watcher` is told the number of open event streams whenever it changes; not after stop().
  void on_event_streams(std::function<void(std::size_t open)> watcher);

  // Serves GET and HEAD of every path that starts with `prefix` ("/listen/") as a live stream:
  // `open` gets the request (its path without the query). On the console, under the API's
  // access rules.
  void add_stream_route(std::string prefix, std::function<ConsoleStream(const ConsoleRequest&)> open);
  // Live streams open now.
  std::size_t streams() const;

  // WebSocket at every path that starts with `prefix`, on this listener whatever it is: the
  // units the stream pushes go out as messages. Only the Host and Origin rules are applied
  // here; `open` decides who may listen (ConsoleRequest::operator_ok tells it about the
  // console's own access).
  void add_socket_route(std::string prefix, std::function<ConsoleStream(const ConsoleRequest&)> open);
  // Any method at `path`, outside the API's token rules (Host and Origin rules only), also on a
  // public listening port.
  void add_open_route(std::string path, std::function<ConsoleResponse(const ConsoleRequest&)> handler);
  // Any method at every path that starts with `prefix`, answered later: `handler` gets the
  // request and `respond`, to be called once on the loop thread with the answer (a request left
  // unanswered for 10 s gets 504). Host and Origin rules only, as an open route: the handler
  // decides who may (ConsoleRequest::operator_ok). For answers that wait on a radio or a disk.
  using Respond = std::function<void(ConsoleResponse)>;
  void add_deferred_route(std::string prefix, std::function<void(const ConsoleRequest&, Respond)> handler);
  // The embedded page file `file` ("live.html") served at `path` ("/live"), also on a public
  // listening port.
  void add_page(std::string path, std::string file);

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace quillon
