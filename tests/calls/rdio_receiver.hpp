#pragma once
// An rdio-scanner call server on a private loopback port, as its upload API is described:
// POST /api/call-upload, multipart, answered 200 "Call imported successfully.", 401 for a wrong
// key, 417 "Incomplete call data: no ..." for a missing field. It counts what it took.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillon::test {

class RdioReceiver {
 public:
  struct Call {
    std::string date_time, talkgroup, talkgroup_label, frequency, audio_type;
    std::size_t audio_bytes = 0;
  };

  explicit RdioReceiver(std::string key = "secret-key")
      : key_(std::move(key)), acceptor_(io_, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)) {
    thread_ = std::thread([this] { serve(); });
  }
  ~RdioReceiver() {
    stop_ = true;
    hold = false;
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket s(io);
    boost::system::error_code ec;
    s.connect(acceptor_.local_endpoint(), ec);  // wakes the accept
    thread_.join();
  }
  int port() const { return acceptor_.local_endpoint().port(); }
  std::vector<Call> taken() {
    std::lock_guard lock(mu_);
    return taken_;
  }
  std::vector<std::string> taken_times() {
    std::vector<std::string> t;
    for (const auto& c : taken()) t.push_back(c.date_time);
    return t;
  }

  std::atomic<bool> hold{false};  // a request is read and left unanswered while this is set
  std::atomic<int> held{0};       // requests held so far

 private:
  static std::map<std::string, std::string> fields(const std::string& type, const std::string& body) {
    std::map<std::string, std::string> f;
    const auto at = type.find("boundary=");
    if (type.rfind("multipart/form-data", 0) != 0 || at == std::string::npos) return f;
    const std::string delim = "--" + type.substr(at + 9);
    for (auto pos = body.find(delim); pos != std::string::npos;) {
      pos += delim.size();
      const auto head_end = body.find("\r\n\r\n", pos);
      const auto next = body.find("\r\n" + delim, pos);
      if (head_end == std::string::npos || next == std::string::npos || head_end > next) break;
      const std::string head = body.substr(pos, head_end - pos);
      const auto n = head.find("name=\"");
      if (n == std::string::npos) break;
      f[head.substr(n + 6, head.find('"', n + 6) - n - 6)] = body.substr(head_end + 4, next - head_end - 4);
      pos = next + 2;
    }
    return f;
  }

  void serve() {
    namespace http = boost::beast::http;
    while (!stop_) {
      boost::asio::ip::tcp::socket s(io_);
      boost::system::error_code ec;
      acceptor_.accept(s, ec);
      if (ec || stop_) return;
      boost::beast::flat_buffer buf;
      http::request_parser<http::string_body> parser;
      parser.body_limit(64 << 20);
      http::read(s, buf, parser, ec);
      if (ec) continue;
      const auto& req = parser.get();
      if (hold) {
        ++held;
        while (hold && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      http::response<http::string_body> res;
      auto f = fields(std::string(req[http::field::content_type]), req.body());
      std::string missing;
      for (const char* name : {"audio", "audioName", "audioType", "dateTime", "system", "talkgroup", "frequency"})
        if (missing.empty() && f[name].empty()) missing = name;
      if (req.method() != http::verb::post || req.target() != "/api/call-upload") {
        res.result(http::status::not_found);
      } else if (f["key"] != key_) {
        res.result(http::status::unauthorized);
        res.body() = "Invalid API key for 127.0.0.1";
      } else if (!missing.empty()) {
        res.result(http::status::expectation_failed);
        res.body() = "Incomplete call data: no " + missing;
      } else {
        std::lock_guard lock(mu_);
        taken_.push_back({f["dateTime"], f["talkgroup"], f["talkgroupLabel"], f["frequency"], f["audioType"], f["audio"].size()});
        res.body() = "Call imported successfully.";
      }
      res.prepare_payload();
      http::write(s, res, ec);
    }
  }

  std::string key_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<Call> taken_;
};

}  // namespace quillon::test
