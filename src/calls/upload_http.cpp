#include "calls/upload_http.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <optional>
#include <vector>

#include "core/asio_event_loop.hpp"
#include "core/cloexec.hpp"

namespace quillon::calls {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using error_code = boost::system::error_code;

bool parse_url(const std::string& url, ParsedUrl& out) {
  std::string rest;
  if (url.rfind("https://", 0) == 0) {
    out.tls = true;
    rest = url.substr(8);
  } else if (url.rfind("http://", 0) == 0) {
    out.tls = false;
    rest = url.substr(7);
  } else {
    return false;
  }
  const auto slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  out.target = slash == std::string::npos ? "/" : rest.substr(slash);
  if (authority.empty() || authority.find('@') != std::string::npos) return false;
  out.port = out.tls ? "443" : "80";
  if (authority.front() == '[') {  // [v6]:port
    const auto close = authority.find(']');
    if (close == std::string::npos) return false;
    out.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      out.port = authority.substr(close + 2);
    }
  } else if (const auto colon = authority.rfind(':'); colon != std::string::npos) {
    out.host = authority.substr(0, colon);
    out.port = authority.substr(colon + 1);
  } else {
    out.host = authority;
  }
  if (out.host.empty() || out.port.empty() || out.port.size() > 5) return false;
  for (char c : out.port)
    if (c < '0' || c > '9') return false;
  for (unsigned char c : out.target)
    if (c <= ' ' || c == 127) return false;
  return true;
}

namespace {

using PlainStream = tcp::socket;
using TlsStream = ssl::stream<tcp::socket>;

class Operation {
 public:
  virtual ~Operation() = default;
  virtual void start() = 0;
  virtual void abandon() = 0;
};

template <class Stream>
class Exchange final : public Operation, public std::enable_shared_from_this<Exchange<Stream>> {
 public:
  Exchange(net::io_context& io, ssl::context* tls, ParsedUrl url, const HttpRequest& r, HttpClient::Done done)
      : url_(std::move(url)), resolver_(io), stream_(make_stream(io, tls)), deadline_(io), done_(std::move(done)) {
    req_.method(r.method == "PUT" ? http::verb::put : http::verb::post);
    req_.target(url_.target);
    req_.version(11);
    const bool default_port = url_.port == (url_.tls ? "443" : "80");
    const std::string host = url_.host.find(':') != std::string::npos ? "[" + url_.host + "]" : url_.host;
    req_.set(http::field::host, default_port ? host : host + ":" + url_.port);
    req_.set(http::field::user_agent, "quillon");
    if (!r.content_type.empty()) req_.set(http::field::content_type, r.content_type);
    for (const auto& [name, value] : r.headers)
      if (value.find_first_of("\r\n") == std::string::npos) req_.set(name, value);
    req_.body() = r.body;
    req_.prepare_payload();
  }

  void start() override {
    deadline_.expires_after(std::chrono::seconds(kHttpStepSeconds));
    deadline_.async_wait([self = this->shared_from_this()](const error_code& ec) {
      if (!ec) self->finish({0, "", self->step_ + " within " + std::to_string(kHttpStepSeconds) + " s"});
    });
    resolver_.async_resolve(url_.host, url_.port, [self = this->shared_from_this()](const error_code& ec, tcp::resolver::results_type r) {
      if (!self->done_) return;
      if (ec) return self->finish({0, "", "cannot look up " + self->url_.host + ": " + ec.message()});
      for (const auto& e : r) self->endpoints_.push_back(e.endpoint());
      self->connect_next(net::error::host_not_found);
    });
  }

  void abandon() override {
    done_ = nullptr;
    shut();
  }

 private:
  static Stream make_stream(net::io_context& io, ssl::context* tls) {
    (void)tls;
    if constexpr (std::is_same_v<Stream, TlsStream>)
      return Stream(io, *tls);
    else
      return Stream(io);
  }

  void shut() {
    deadline_.cancel();
    resolver_.cancel();
    error_code ignored;
    stream_.lowest_layer().close(ignored);
  }

  void finish(HttpAnswer a) {
    if (!done_) return;
    auto done = std::move(done_);
    done_ = nullptr;
    shut();
    done(std::move(a));
  }

  void connect_next(error_code last) {
    if (next_ >= endpoints_.size()) return finish({0, "", "cannot connect: " + last.message()});
    const tcp::endpoint ep = endpoints_[next_++];
    auto& sock = stream_.lowest_layer();
    error_code ec;
    sock.close(ec);
    sock.open(ep.protocol(), ec);
    if (ec) return connect_next(ec);
    set_cloexec(sock.native_handle());
    sock.async_connect(ep, [self = this->shared_from_this()](const error_code& e) {
      if (!self->done_) return;
      if (e) return self->connect_next(e);
      self->connected();
    });
  }

  void connected() {
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      step_ = "no TLS handshake";
      error_code ec;
      if (!SSL_set_tlsext_host_name(stream_.native_handle(), url_.host.c_str())) ec = net::error::invalid_argument;
      stream_.set_verify_mode(ssl::verify_peer, ec);
      stream_.set_verify_callback(ssl::host_name_verification(url_.host), ec);
      stream_.async_handshake(ssl::stream_base::client, [self = this->shared_from_this()](const error_code& e) {
        if (!self->done_) return;
        if (e) return self->finish({0, "", "TLS: " + e.message()});
        self->write();
      });
    } else {
      write();
    }
  }

  void write() {
    step_ = "no answer";
    http::async_write(stream_, req_, [self = this->shared_from_this()](const error_code& ec, std::size_t) {
      if (!self->done_) return;
      if (ec) return self->finish({0, "", "lost the connection while sending: " + ec.message()});
      self->read();
    });
  }

  void read() {
    parser_.emplace();
    parser_->header_limit(8 * 1024);
    parser_->body_limit(kMaxAnswerBytes);
    http::async_read(stream_, buffer_, *parser_, [self = this->shared_from_this()](const error_code& ec, std::size_t) {
      if (!self->done_) return;
      if (ec) return self->finish({0, "", "no answer: " + ec.message()});
      const unsigned status = self->parser_->get().result_int();
      if (status >= 100 && status < 200 && ++self->interim_ <= 2) return self->read();
      self->finish({static_cast<int>(status), self->parser_->get().body(), ""});
    });
  }

  ParsedUrl url_;
  tcp::resolver resolver_;
  std::vector<tcp::endpoint> endpoints_;
  std::size_t next_ = 0;
  Stream stream_;
  net::steady_timer deadline_;
  HttpClient::Done done_;
  std::string step_ = "cannot connect";
  http::request<http::string_body> req_;
  beast::flat_buffer buffer_{16 * 1024 + kMaxAnswerBytes};
  std::optional<http::response_parser<http::string_body>> parser_;
  int interim_ = 0;
};

class BeastClient final : public HttpClient {
 public:
  explicit BeastClient(net::io_context& io) : io_(io) {}
  ~BeastClient() override { cancel(); }

  void send(const HttpRequest& r, Done done) override {
    cancel();
    ParsedUrl url;
    if (!parse_url(r.url, url)) {
      net::post(io_, [done = std::move(done)] { done({0, "", "not a usable URL"}); });
      return;
    }
    if (url.tls && !tls_) {
      try {
        auto ctx = std::make_unique<ssl::context>(ssl::context::tls_client);
        ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
        ctx->set_default_verify_paths();
        ctx->set_verify_mode(ssl::verify_peer);
        tls_ = std::move(ctx);
      } catch (const boost::system::system_error& e) {
        const std::string why = std::string("TLS is not available: ") + e.what();
        net::post(io_, [done = std::move(done), why] { done({0, "", why}); });
        return;
      }
    }
    if (url.tls)
      op_ = std::make_shared<Exchange<TlsStream>>(io_, tls_.get(), url, r, std::move(done));
    else
      op_ = std::make_shared<Exchange<PlainStream>>(io_, nullptr, url, r, std::move(done));
    op_->start();
  }

  void cancel() override {
    if (op_) op_->abandon();
    op_.reset();
  }

 private:
  net::io_context& io_;
  std::unique_ptr<ssl::context> tls_;
  std::shared_ptr<Operation> op_;
};

}  // namespace

std::unique_ptr<HttpClient> make_http_client(AsioEventLoop& loop) { return std::make_unique<BeastClient>(loop.io()); }

}  // namespace quillon::calls
