#pragma once
// Receivers for alerts, written from the services' public descriptions: an ntfy server
// (publishing: POST or PUT to the topic, the text as body or, with a file, the file as body with
// Filename and Message headers; Authorization: Bearer for a protected topic; 401 otherwise),
// Pushover's messages API (multipart: token, user, message, optional attachment; 400 with
// {"token":"invalid",...,"status":0} for a wrong token or user; {"status":1} when taken) and a
// webhook that keeps what it got. `answer` judges one request as the service would; AlertHttp
// serves the same on a private loopback port for the real binary.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace quillon::test {

struct AlertIn {
  std::string method, target, content_type, body;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string header(const std::string& n) const {
    const auto it = headers.find(n);
    return it == headers.end() ? "" : it->second;
  }
};

struct AlertOut {
  int status = 0;  // 0: no answer (the connection fails)
  std::string body;
};

// What the receivers took, for the tests to look at.
struct NtfyMessage {
  std::string topic, title, message, click, filename, tags, priority;
  std::size_t attachment = 0;
  std::string attachment_head;
};
struct PushoverMessage {
  std::string title, message, url;
  std::size_t attachment = 0;
};
struct WebhookCall {
  std::string body, signature;
};

inline std::map<std::string, std::string> multipart(const std::string& type, const std::string& body) {
  std::map<std::string, std::string> f;
  const auto at = type.find("boundary=");
  if (type.rfind("multipart/form-data", 0) != 0 || at == std::string::npos) return f;
  const std::string delim = "--" + type.substr(at + 9);
  for (auto pos = body.find(delim); pos != std::string::npos;) {
    pos += delim.size();
    if (body.compare(pos, 2, "--") == 0) break;
    const auto head_end = body.find("\r\n\r\n", pos);
    const auto next = body.find("\r\n" + delim, head_end == std::string::npos ? pos : head_end);
    if (head_end == std::string::npos || next == std::string::npos) break;
    const std::string head = body.substr(pos, head_end - pos);
    const auto n = head.find("name=\"");
    if (n == std::string::npos) break;
    f[head.substr(n + 6, head.find('"', n + 6) - n - 6)] = body.substr(head_end + 4, next - head_end - 4);
    pos = next + 2;
  }
  return f;
}

class AlertServices {
 public:
  // ntfy: the token a protected topic wants ("" for an open topic), whether it takes files.
  std::string ntfy_token;
  bool ntfy_attachments = true;
  std::string pushover_token = "azGDORePK8gMaC0QOYAMyEEuzJnyUi", pushover_user = "uQiRzpo4DXghDmr9QzzfQu27cmVRsG";
  std::atomic<bool> down{false};  // every request fails as a refused connection would
  std::atomic<bool> hold{false};  // a request is taken and never answered
  std::string hold_only;          // with hold: only requests to paths starting so are held

  AlertOut answer(const AlertIn& r) {
    std::lock_guard lock(mu_);
    ++requests_;
    if (down) return {0, ""};
    if (hold && r.target.rfind(hold_only, 0) == 0) {
      ++held_;
      return {-1, ""};
    }
    if (r.target.rfind("/1/messages.json", 0) == 0) return pushover(r);
    if (r.target.rfind("/hook", 0) == 0) {
      if (r.method != "POST" || r.content_type.rfind("application/json", 0) != 0) return {400, "{}"};
      webhook_.push_back({r.body, r.header("x-quillon-signature")});
      return {204, ""};
    }
    return ntfy(r);
  }

  std::vector<NtfyMessage> ntfy() {
    std::lock_guard lock(mu_);
    return ntfy_;
  }
  std::vector<PushoverMessage> pushover() {
    std::lock_guard lock(mu_);
    return pushover_;
  }
  std::vector<WebhookCall> webhook() {
    std::lock_guard lock(mu_);
    return webhook_;
  }
  int requests() {
    std::lock_guard lock(mu_);
    return requests_;
  }
  int held() {
    std::lock_guard lock(mu_);
    return held_;
  }

 private:
  AlertOut ntfy(const AlertIn& r) {
    if (r.method != "POST" && r.method != "PUT") return {405, R"({"code":40501,"http":405,"error":"method not allowed"})"};
    const std::string topic = r.target.substr(1, r.target.find('?') - 1);
    if (topic.empty() || topic.find('/') != std::string::npos) return {404, R"({"code":40401,"http":404,"error":"page not found"})"};
    if (!ntfy_token.empty() && r.header("authorization") != "Bearer " + ntfy_token)
      return {401, R"({"code":40101,"http":401,"error":"unauthorized"})"};
    NtfyMessage m;
    m.topic = topic;
    m.title = r.header("title");
    m.click = r.header("click");
    m.tags = r.header("tags");
    m.priority = r.header("priority");
    m.filename = r.header("filename");
    if (!m.filename.empty()) {
      if (!ntfy_attachments) return {400, R"({"code":40014,"http":400,"error":"invalid request: attachments not allowed"})"};
      m.attachment = r.body.size();
      m.attachment_head = r.body.substr(0, 4);
      m.message = r.header("message");
      if (m.message.empty()) m.message = "You received a file: " + m.filename;
    } else {
      m.message = r.body;
    }
    if (m.message.empty()) return {400, R"({"code":40001,"http":400,"error":"message empty"})"};
    ntfy_.push_back(m);
    return {200, nlohmann::json{{"id", "m" + std::to_string(ntfy_.size())}, {"time", 1796000000}, {"event", "message"}, {"topic", topic},
                                {"message", m.message}}
                     .dump()};
  }

  AlertOut pushover(const AlertIn& r) {
    if (r.method != "POST") return {405, ""};
    const auto f = multipart(r.content_type, r.body);
    auto field = [&](const char* n) {
      const auto it = f.find(n);
      return it == f.end() ? std::string() : it->second;
    };
    if (field("token") != pushover_token)
      return {400, R"({"token":"invalid","errors":["application token is invalid"],"status":0,"request":"r1"})"};
    if (field("user") != pushover_user)
      return {400, R"({"user":"invalid","errors":["user identifier is not a valid user, group, or subscribed user key"],"status":0,"request":"r2"})"};
    if (field("message").empty()) return {400, R"({"message":"cannot be blank","errors":["message cannot be blank"],"status":0,"request":"r3"})"};
    if (field("attachment").size() > 5 * 1024 * 1024) return {400, R"({"attachment":"too large","errors":["attachment is too large"],"status":0})"};
    pushover_.push_back({field("title"), field("message"), field("url"), field("attachment").size()});
    return {200, R"({"status":1,"request":"647d2300-702c-4b38-8b2f-d56326ae460b"})"};
  }

  std::mutex mu_;
  std::vector<NtfyMessage> ntfy_;
  std::vector<PushoverMessage> pushover_;
  std::vector<WebhookCall> webhook_;
  int requests_ = 0;
  int held_ = 0;
};

// The services on a private loopback port, one connection at a time.
class AlertHttp {
 public:
  explicit AlertHttp(AlertServices& s)
      : services_(s), acceptor_(io_, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0)) {
    thread_ = std::thread([this] { serve(); });
  }
  ~AlertHttp() {
    stop_ = true;
    services_.hold = false;
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket s(io);
    boost::system::error_code ec;
    s.connect(acceptor_.local_endpoint(), ec);
    thread_.join();
  }
  int port() const { return acceptor_.local_endpoint().port(); }

 private:
  // Each connection on a thread of its own: a held request holds up no other.
  void serve() {
    while (!stop_) {
      auto s = std::make_shared<boost::asio::ip::tcp::socket>(io_);
      boost::system::error_code ec;
      acceptor_.accept(*s, ec);
      if (ec || stop_) continue;
      std::lock_guard lock(threads_mu_);
      threads_.emplace_back([this, s] { exchange(*s); });
    }
    std::lock_guard lock(threads_mu_);
    for (auto& t : threads_) t.join();
  }

  void exchange(boost::asio::ip::tcp::socket& s) {
    namespace http = boost::beast::http;
    boost::system::error_code ec;
    {
      boost::beast::flat_buffer buf;
      http::request_parser<http::string_body> parser;
      parser.body_limit(32 * 1024 * 1024);
      http::read(s, buf, parser, ec);
      if (ec) return;
      const auto& req = parser.get();
      AlertIn in;
      in.method = std::string(req.method_string());
      in.target = std::string(req.target());
      in.body = req.body();
      for (const auto& h : req) {
        std::string name(h.name_string());
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        in.headers[name] = std::string(h.value());
      }
      in.content_type = in.header("content-type");
      const AlertOut out = services_.answer(in);
      if (out.status == 0) return;  // the connection closes unanswered
      if (out.status < 0) {         // held: never answered
        while (services_.hold && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return;
      }
      http::response<http::string_body> res{static_cast<http::status>(out.status), 11};
      res.set(http::field::content_type, "application/json");
      res.body() = out.body;
      res.prepare_payload();
      http::write(s, res, ec);
    }
  }

  AlertServices& services_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::thread thread_;
  std::mutex threads_mu_;
  std::vector<std::thread> threads_;
  std::atomic<bool> stop_{false};
};

}  // namespace quillon::test
