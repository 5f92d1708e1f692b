#pragma once
// A plain HTTP and WebSocket client for the console tests (Boost.Beast, blocking, one
// connection per request; WebSocket reads with a deadline so a missing event fails the test
// instead of hanging it).

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillon::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using nlohmann::json;

struct HttpReply {
  int status = 0;
  json body;  // discarded when the body is not JSON
  std::string raw;
  std::string www_authenticate;
  http::fields header;  // every header of the answer
  std::string operator[](std::string_view name) const { return std::string(header[name]); }
};

class ConsoleClient {
 public:
  explicit ConsoleClient(std::uint16_t port) : port_(port) {}

  std::vector<std::pair<http::field, std::string>> headers;  // sent with every request

  HttpReply request(http::verb verb, const std::string& target, const std::string& body = {},
                    const std::string& content_type = "application/json") {
    asio::io_context io;
    tcp::socket s(io);
    s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port_));
    http::request<http::string_body> req{verb, target, 11};
    req.set(http::field::host, "127.0.0.1:" + std::to_string(port_));
    if (verb == http::verb::post && !content_type.empty()) req.set(http::field::content_type, content_type);
    for (const auto& [f, v] : headers) req.set(f, v);
    req.body() = body;
    req.prepare_payload();
    req.keep_alive(false);
    beast::error_code ec;
    http::write(s, req, ec);  // a refused oversized body may be cut short; the answer still comes
    beast::flat_buffer buf;
    http::response<http::string_body> res;
    http::read(s, buf, res, ec);
    if (ec) return HttpReply{};
    HttpReply r;
    r.status = res.result_int();
    r.raw = res.body();
    r.body = json::parse(res.body(), nullptr, false);
    r.www_authenticate = std::string(res[http::field::www_authenticate]);
    r.header = res.base();
    return r;
  }

  HttpReply get(const std::string& target) { return request(http::verb::get, target); }
  HttpReply action(const json& j) { return request(http::verb::post, "/api/action", j.dump()); }
  json window() { return get("/api/window").body; }

 private:
  std::uint16_t port_;
};

// A WebSocket subscriber to /api/events.
class EventStream {
 public:
  EventStream(std::uint16_t port, std::vector<std::pair<http::field, std::string>> headers = {}) : ws_(io_) {
    ws_.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    ws_.set_option(websocket::stream_base::decorator([headers](websocket::request_type& req) {
      for (const auto& [f, v] : headers) req.set(f, v);
    }));
    ws_.handshake("127.0.0.1:" + std::to_string(port), "/api/events", ec_);
  }
  bool open() const { return !ec_; }

  // The next message, or nothing when the stream ended or nothing came within `limit`.
  std::optional<json> next(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    if (ec_) return std::nullopt;
    beast::flat_buffer buf;
    bool done = false;
    ws_.async_read(buf, [&](beast::error_code ec, std::size_t) {
      ec_ = ec;
      done = true;
    });
    io_.restart();
    io_.run_for(limit);
    if (!done) {
      ws_.next_layer().close();
      io_.restart();
      io_.run();
      ec_ = asio::error::timed_out;
      return std::nullopt;
    }
    if (ec_) return std::nullopt;
    return json::parse(beast::buffers_to_string(buf.data()), nullptr, false);
  }

  // Reads until `match` holds for a message; false when the stream ends first.
  bool wait_for(const std::function<bool(const json&)>& match) {
    for (int i = 0; i < 10000; ++i) {
      auto m = next();
      if (!m) return false;
      if (match(*m)) return true;
    }
    return false;
  }

  // Sends a message to the server (a page's request on its stream).
  bool send(const json& j) {
    ws_.text(true);
    ws_.write(asio::buffer(j.dump()), ec_);
    return !ec_;
  }

  beast::error_code error() const { return ec_; }

 private:
  asio::io_context io_;
  websocket::stream<tcp::socket> ws_;
  beast::error_code ec_;
};

}  // namespace quillon::test
