#include "audio/icecast_source.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/url/encode.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "core/asio_event_loop.hpp"
#include "core/cloexec.hpp"

namespace quillon::audio {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using error_code = boost::system::error_code;
using SteadyTime = std::chrono::steady_clock::time_point;

namespace {

constexpr int kMinBackoffSeconds = 1;
constexpr int kMaxBackoffSeconds = 60;
constexpr auto kStepTimeout = std::chrono::seconds(IcecastSource::kStepTimeoutSeconds);
// Icecast's answers are a few hundred bytes; anything longer is not an Icecast.
constexpr std::size_t kAnswerHeaderLimit = 8 * 1024;
constexpr std::size_t kAnswerBodyLimit = 1024;
// After its answer Icecast says nothing to a source; a peer that keeps talking is no Icecast.
constexpr std::size_t kAfterAnswerLimit = 1024;

// An Ogg page whose granule position is 0 carries stream headers (OpusHead, OpusTags): a
// decoder cannot start without them, so the queue never drops such a page.
bool is_ogg_header_page(std::span<const std::uint8_t> b) {
  if (b.size() < 27 || b[0] != 'O' || b[1] != 'g' || b[2] != 'g' || b[3] != 'S') return false;
  for (std::size_t i = 6; i < 14; ++i)
    if (b[i] != 0) return false;
  return true;
}

std::string trim(std::string s) {
  const auto blank = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(static_cast<unsigned char>(s.back()))) s.pop_back();
  std::size_t i = 0;
  while (i < s.size() && blank(static_cast<unsigned char>(s[i]))) ++i;
  return s.substr(i);
}

std::string display_text(const std::string& line) {
  const auto open = line.find('[');
  if (open == std::string::npos) return trim(line);
  const auto close = line.find(']', open + 1);
  return trim(line.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1));
}

// What a server said, fit for a log line and the console: its first line, printable ASCII, short.
std::string said_text(std::string_view body) {
  std::string out;
  for (const char c : body) {
    if (c == '\r' || c == '\n') {
      if (out.empty()) continue;
      break;
    }
    out += (c >= ' ' && c < 127) ? c : '?';
    if (out.size() >= 80) break;
  }
  return trim(out);
}

std::string basic_auth(const std::string& user, const std::string& password) {
  namespace b64 = beast::detail::base64;
  const std::string plain = user + ":" + password;
  std::string out(b64::encoded_size(plain.size()), '\0');
  out.resize(b64::encode(out.data(), plain.data(), plain.size()));
  return "Basic " + out;
}

std::string url_encoded(const std::string& text) { return boost::urls::encode(text, boost::urls::unreserved_chars); }

std::string host_field(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

std::string stream_title(const std::string& line2, const std::string& line3) {
  std::string t = display_text(line3);
  if (t.empty()) t = display_text(line2);
  return t;
}

namespace {

// One connection to Icecast: the source's stream (PUT, then the audio) or one stream-title
// update (GET /admin/metadata). Everything it holds goes with it.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual void start() = 0;
  // A whole page or frame for the stream.
  virtual void push(std::span<const std::uint8_t> bytes) = 0;
  // No more calls to the client; the socket closes.
  virtual void close() = 0;
};

}  // namespace

// The source's state, shared with its pending operations; all of it lives on the loop thread.
struct IcecastSource::Client : std::enable_shared_from_this<IcecastSource::Client> {
  Client(net::io_context& context, int ch, IcecastSettings settings, EncodedStream& s, Log l)
      : io(context), cfg(std::move(settings)), channel(ch), log(std::move(l)), stream(s), retry(context), title_timer(context) {}

  net::io_context& io;
  IcecastSettings cfg;
  int channel;
  Log log;
  EncodedStream& stream;
  IcecastSource* source = nullptr;  // for on_state; null once stopped
  bool stopped = false;

  std::unique_ptr<ssl::context> tls;
  std::string tls_error;

  std::shared_ptr<Connection> link;  // the stream's connection, while one is open or opening
  int subscription = 0;              // 0: none
  net::steady_timer retry;
  int backoff = kMinBackoffSeconds;
  bool keep_backoff = false;
  bool ever_connected = false;
  bool reported_down = false;

  Figures figures;
  std::string state_text = "stopped";

  // MP3 stream titles: the wanted one, the last one sent on this connection and when.
  std::string title, sent_title;
  std::optional<SteadyTime> title_at;
  std::shared_ptr<Connection> title_request;  // at most one in flight
  net::steady_timer title_timer;
  bool title_timer_armed = false;

  std::string where() const { return cfg.host + ":" + std::to_string(cfg.port) + cfg.mount; }
  bool mp3() const { return cfg.format == ListenFormat::Mp3; }

  void set_state(State s, const std::string& text) {
    figures.state = s;
    if (state_text == text) return;
    state_text = text;
    if (source && source->on_state) source->on_state(text);
  }

  void down(const std::string& why) {
    if (reported_down) return;
    reported_down = true;
    log(true, "channel " + std::to_string(channel) + (ever_connected ? ": lost the Icecast server at " : ": cannot send to Icecast at ") +
                  where() + ": " + why + "; retrying in the background");
  }

  void up() {
    if (!ever_connected || reported_down)
      log(false, "channel " + std::to_string(channel) + ": sending to Icecast at " + where());
    ever_connected = true;
    reported_down = false;
  }

  bool prepare_tls() {
    if (tls || !tls_error.empty()) return tls != nullptr;
    try {
      auto ctx = std::make_unique<ssl::context>(ssl::context::tls_client);
      ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                       ssl::context::no_tlsv1_1);
      ctx->set_default_verify_paths();
      ctx->set_verify_mode(ssl::verify_peer);
      tls = std::move(ctx);
    } catch (const boost::system::system_error& e) {
      tls_error = std::string("TLS is not available: ") + e.what();
    }
    return tls != nullptr;
  }

  std::shared_ptr<Connection> connect(const std::string& target, bool title_update);

  void attempt() {
    if (stopped) return;
    set_state(State::Connecting, "connecting to " + where());
    if (cfg.tls && !prepare_tls()) {  // never falls back to plain
      failed(tls_error);
      return;
    }
    link = connect(cfg.mount, false);
    link->start();
  }

  void failed(const std::string& why) {
    down(why);
    set_state(State::Retrying, "retrying in " + std::to_string(backoff) + " s: " + why);
    retry.expires_after(std::chrono::seconds(backoff));
    retry.async_wait([self = shared_from_this()](const error_code& ec) {
      if (!ec) self->attempt();
    });
    backoff = std::min(backoff * 2, kMaxBackoffSeconds);
  }

  void unsubscribe() {
    if (subscription > 0) stream.unsubscribe(subscription);
    subscription = 0;
  }

  // Icecast took the source.
  void accepted() {
    ++figures.connections;
    // A peer that broke the protocol last time keeps its back-off and its fault: taking the
    // source is no sign it behaves.
    if (!keep_backoff) {
      backoff = kMinBackoffSeconds;
      up();
    }
    keep_backoff = false;
    unsubscribe();
    // A fresh subscription: an Ogg stream starts again with its header pages. An encoder that
    // cannot start sends nothing, and Icecast ends the idle source after its timeout.
    std::weak_ptr<Connection> to = link;
    subscription = stream.subscribe([to](std::span<const std::uint8_t> bytes) {
      if (auto l = to.lock()) l->push(bytes);
    });
    set_state(State::Connected, "connected to " + where());
    sent_title.clear();  // the new mount has no title yet
    send_title();
  }

  // The stream's connection ended (refused, lost, timed out).
  void ended(const std::string& why) {
    unsubscribe();
    link.reset();
    if (title_request) title_request->close();
    title_request.reset();
    if (!stopped) failed(why);
  }

  void sent(std::size_t bytes) { figures.bytes_sent += bytes; }
  void dropped() { ++figures.units_dropped; }

  // MP3: the wanted title, when it changed and the interval since the last one has passed.
  void send_title() {
    if (stopped || !mp3() || figures.state != State::Connected || title.empty() || title == sent_title || title_request) return;
    const auto interval = std::chrono::seconds(std::max(1, cfg.title_interval_seconds));
    const auto now = std::chrono::steady_clock::now();
    if (title_at && now - *title_at < interval) {
      if (!title_timer_armed) {
        title_timer_armed = true;
        title_timer.expires_at(*title_at + interval);
        title_timer.async_wait([self = shared_from_this()](const error_code& ec) {
          self->title_timer_armed = false;
          if (!ec) self->send_title();
        });
      }
      return;
    }
    // A refused title is not tried again until the title changes.
    sent_title = title;
    title_at = now;
    title_request = connect("/admin/metadata?mount=" + url_encoded(cfg.mount) + "&mode=updinfo&song=" + url_encoded(title), true);
    title_request->start();
  }

  // A title update ended; a refusal loses the title only, never the stream.
  void title_done(bool ok) {
    title_request.reset();
    if (ok) ++figures.titles_sent;
    send_title();
  }

  void stop() {
    if (stopped) return;
    stopped = true;
    source = nullptr;
    unsubscribe();
    if (link) link->close();
    link.reset();
    if (title_request) title_request->close();
    title_request.reset();
    retry.cancel();
    title_timer.cancel();
    figures.state = State::Stopped;
    state_text = "stopped";
  }
};

namespace {

using Client = IcecastSource::Client;
using PlainStream = tcp::socket;
using TlsStream = ssl::stream<tcp::socket>;

template <class Stream>
class Link final : public Connection, public std::enable_shared_from_this<Link<Stream>> {
 public:
  Link(Client& owner, std::string target, bool title_update)
      : owner_(&owner),
        host_(owner.cfg.host),
        port_(owner.cfg.port),
        target_(std::move(target)),
        title_update_(title_update),
        ogg_(owner.cfg.format == ListenFormat::Opus),
        resolver_(owner.io),
        stream_(make_stream(owner)),
        deadline_(owner.io) {
    const IcecastSettings& c = owner.cfg;
    req_.method(title_update ? http::verb::get : http::verb::put);
    req_.target(target_);
    req_.version(11);
    req_.set(http::field::host, host_field(c.host, c.port));
    req_.set(http::field::authorization, basic_auth(c.user, c.password));
    req_.set(http::field::user_agent, "quillon");
    if (!title_update) {
      req_.set(http::field::content_type, ogg_ ? "audio/ogg" : "audio/mpeg");
      req_.set("ice-public", c.is_public ? "1" : "0");
      const auto meta = [&](const char* field, const std::string& value) {
        if (!value.empty()) req_.set(field, value);
      };
      meta("ice-name", c.name);
      meta("ice-description", c.description);
      meta("ice-genre", c.genre);
      meta("ice-url", c.url);
      req_.set("ice-audio-info", "channels=1");
    }
  }

  void start() override {
    arm();
    resolver_.async_resolve(host_, std::to_string(port_), [self = this->shared_from_this()](const error_code& ec, tcp::resolver::results_type r) {
      if (!self->owner_) return;
      if (ec) return self->fail("cannot look up " + self->host_ + ": " + ec.message());
      for (const auto& entry : r) self->endpoints_.push_back(entry.endpoint());
      self->connect_next(net::error::host_not_found);
    });
  }

  void push(std::span<const std::uint8_t> bytes) override {
    if (!streaming_) return;
    queue_.push_back(Unit{ogg_ && is_ogg_header_page(bytes), {bytes.begin(), bytes.end()}});
    queued_bytes_ += bytes.size();
    // Icecast is slow: the oldest audio goes first, headers stay.
    while (queue_.size() > IcecastSource::kMaxQueuedUnits || queued_bytes_ > IcecastSource::kMaxQueuedBytes) {
      auto victim = std::find_if(queue_.begin(), queue_.end(), [](const Unit& u) { return !u.header; });
      if (victim == queue_.end()) break;
      queued_bytes_ -= victim->bytes.size();
      queue_.erase(victim);
      owner_->dropped();
    }
    if (!writing_) write_next();
  }

  void close() override {
    owner_ = nullptr;
    streaming_ = false;
    shut();
  }

 private:
  struct Unit {
    bool header = false;
    std::vector<std::uint8_t> bytes;
  };

  static Stream make_stream(Client& owner) {
    if constexpr (std::is_same_v<Stream, TlsStream>)
      return Stream(owner.io, *owner.tls);
    else
      return Stream(owner.io);
  }

  auto& socket() { return stream_.lowest_layer(); }

  void shut() {
    ++deadline_gen_;
    deadline_.cancel();
    resolver_.cancel();
    error_code ignored;
    socket().close(ignored);
  }

  // The connection is over: the client hears it once.
  void fail(const std::string& why) {
    Client* owner = owner_;
    close();
    if (!owner) return;
    if (title_update_)
      owner->title_done(false);
    else
      owner->ended(why);
  }

  // The whole attempt (lookup, connect, TLS, login) must end within the step time; the failure
  // names the step it was in.
  void arm() {
    const auto gen = ++deadline_gen_;
    deadline_.expires_after(kStepTimeout);
    deadline_.async_wait([self = this->shared_from_this(), gen](const error_code& ec) {
      if (!ec && gen == self->deadline_gen_)
        self->fail(self->step_ + " within " + std::to_string(IcecastSource::kStepTimeoutSeconds) + " s");
    });
  }

  void disarm() {
    ++deadline_gen_;
    deadline_.cancel();
  }

  void connect_next(error_code last) {
    if (next_endpoint_ >= endpoints_.size()) return fail("cannot connect: " + last.message());
    const tcp::endpoint ep = endpoints_[next_endpoint_++];
    error_code ec;
    socket().close(ec);
    socket().open(ep.protocol(), ec);
    if (ec) return connect_next(ec);
    set_cloexec(socket().native_handle());
    socket().async_connect(ep, [self = this->shared_from_this()](const error_code& e) {
      if (!self->owner_) return;
      if (e) return self->connect_next(e);
      self->connected();
    });
  }

  void connected() {
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      // Icecast's certificate must name the host; there is no plain fallback.
      step_ = "TLS: no handshake";
      error_code ec;
      if (!SSL_set_tlsext_host_name(stream_.native_handle(), host_.c_str())) ec = net::error::invalid_argument;
      stream_.set_verify_mode(ssl::verify_peer, ec);
      stream_.set_verify_callback(ssl::host_name_verification(host_), ec);
      stream_.async_handshake(ssl::stream_base::client, [self = this->shared_from_this()](const error_code& e) {
        if (!self->owner_) return;
        if (e) return self->fail("TLS: " + e.message());
        self->send_request();
      });
    } else {
      send_request();
    }
  }

  void send_request() {
    step_ = "no answer from Icecast";
    http::async_write(stream_, req_, [self = this->shared_from_this()](const error_code& ec, std::size_t) {
      if (!self->owner_) return;
      if (ec) return self->fail("lost the connection while logging in: " + ec.message());
      self->read_answer();
    });
  }

  void read_answer() {
    parser_.emplace();
    parser_->header_limit(kAnswerHeaderLimit);
    parser_->body_limit(kAnswerBodyLimit);
    http::async_read_header(stream_, answer_, *parser_, [self = this->shared_from_this()](const error_code& ec, std::size_t) {
      if (!self->owner_) return;
      if (ec) return self->fail("no Icecast answer: " + ec.message());
      self->answered();
    });
  }

  void answered() {
    const unsigned status = parser_->get().result_int();
    if (status >= 100 && status < 200 && ++interim_ <= 2) return read_answer();  // "100 Continue"
    if (status == 200 && !title_update_) return stream();
    // The rest of the answer (a short text or Icecast's XML), bounded; then the verdict.
    http::async_read(stream_, answer_, *parser_, [self = this->shared_from_this(), status](const error_code&, std::size_t) {
      if (!self->owner_) return;
      self->judge(status, said_text(self->parser_->get().body()));
    });
  }

  void judge(unsigned status, const std::string& text) {
    if (title_update_) {
      Client* owner = owner_;
      close();
      owner->title_done(status == 200);
      return;
    }
    if (status == 401) return fail("refused the source login (wrong user or password)");
    if (status == 403)
      return fail("refused the source (the mount is in use or not allowed)" + (text.empty() ? "" : ": " + text));
    const std::string reason = said_text(parser_->get().reason());
    fail("Icecast answered " + std::to_string(status) + (reason.empty() ? "" : " " + reason) + (text.empty() ? "" : ": " + text));
  }

  // Accepted: from now on the audio goes out, and one read stays pending to notice the end.
  void stream() {
    disarm();
    parser_.reset();
    answer_ = beast::flat_buffer(kAnswerHeaderLimit + kAnswerBodyLimit);
    streaming_ = true;
    read_more();
    owner_->accepted();
  }

  void read_more() {
    stream_.async_read_some(net::buffer(scrap_), [self = this->shared_from_this()](const error_code& ec, std::size_t n) {
      if (!self->owner_) return;
      if (ec == net::error::eof) return self->fail("Icecast closed the connection");
      if (ec) return self->fail(ec.message());
      self->after_answer_ += n;
      if (self->after_answer_ > kAfterAnswerLimit) {
        self->owner_->keep_backoff = true;
        return self->fail("protocol error: the server sent data after its answer");
      }
      self->read_more();
    });
  }

  void write_next() {
    writing_ = !queue_.empty();
    if (!writing_) return;
    inflight_ = std::move(queue_.front());
    queue_.pop_front();
    queued_bytes_ -= inflight_.bytes.size();
    write_started_ = std::chrono::steady_clock::now();
    if (!watching_) watch(write_started_ + kStepTimeout);
    net::async_write(stream_, net::buffer(inflight_.bytes), [self = this->shared_from_this()](const error_code& ec, std::size_t n) {
      if (!self->owner_) return;
      if (ec) return self->fail(ec.message());
      self->owner_->sent(n);
      self->write_next();
    });
  }

  // A write that has not finished within the step time means Icecast stopped taking the
  // stream. One timer watches all writes (no re-arming per page): it wakes at most once per
  // step time and looks at the write then under way.
  void watch(SteadyTime at) {
    watching_ = true;
    const auto gen = ++deadline_gen_;
    deadline_.expires_at(at);
    deadline_.async_wait([self = this->shared_from_this(), gen](const error_code& ec) {
      if (ec || gen != self->deadline_gen_ || !self->owner_) return;
      self->watching_ = false;
      if (!self->writing_) return;
      const auto due = self->write_started_ + kStepTimeout;
      if (std::chrono::steady_clock::now() >= due)
        return self->fail("Icecast took no data for " + std::to_string(IcecastSource::kStepTimeoutSeconds) + " s");
      self->watch(due);
    });
  }

  Client* owner_;  // null once closed
  std::string step_ = "cannot connect: no answer";
  std::string host_;
  int port_;
  std::string target_;
  bool title_update_;
  bool ogg_;
  tcp::resolver resolver_;
  std::vector<tcp::endpoint> endpoints_;
  std::size_t next_endpoint_ = 0;
  Stream stream_;
  net::steady_timer deadline_;
  std::uint64_t deadline_gen_ = 0;
  http::request<http::empty_body> req_;
  beast::flat_buffer answer_{kAnswerHeaderLimit + kAnswerBodyLimit};
  std::optional<http::response_parser<http::string_body>> parser_;
  int interim_ = 0;
  std::array<char, 512> scrap_{};
  std::size_t after_answer_ = 0;  // bytes the peer sent after its answer

  bool streaming_ = false;
  std::deque<Unit> queue_;
  std::size_t queued_bytes_ = 0;
  Unit inflight_;
  bool writing_ = false;
  bool watching_ = false;
  SteadyTime write_started_{};
};

}  // namespace

std::shared_ptr<Connection> IcecastSource::Client::connect(const std::string& target, bool title_update) {
  if (cfg.tls) return std::make_shared<Link<TlsStream>>(*this, target, title_update);
  return std::make_shared<Link<PlainStream>>(*this, target, title_update);
}

IcecastSource::IcecastSource(AsioEventLoop& loop, int channel, IcecastSettings settings, EncodedStream& stream, Log log)
    : client_(std::make_shared<Client>(loop.io(), channel, std::move(settings), stream, std::move(log))) {}

IcecastSource::~IcecastSource() { stop(); }

void IcecastSource::start() {
  if (client_->source || client_->stopped) return;
  client_->source = this;
  client_->attempt();
}

void IcecastSource::stop() { client_->stop(); }

void IcecastSource::set_title(const std::string& title) {
  if (!client_->mp3()) return;
  client_->title = title;
  client_->send_title();
}

IcecastSource::Figures IcecastSource::figures() const { return client_->figures; }

std::string IcecastSource::state_text() const { return client_->state_text; }

}  // namespace quillon::audio
