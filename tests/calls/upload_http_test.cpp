// The uploader's real HTTP client (Beast on the loop's io_context) against an rdio-scanner
// receiver on a private loopback port: every call arrives once, and a server that drops the
// connection before answering gets the call again.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "calls/uploader.hpp"
#include "core/asio_event_loop.hpp"

namespace quillon::calls {
namespace {

namespace fs = std::filesystem;
namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

// Takes calls as rdio-scanner does; the first `drop` requests are read and the connection
// closed without an answer.
class RdioReceiver {
 public:
  RdioReceiver() : acceptor_(io_, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)) {
    thread_ = std::thread([this] { serve(); });
  }
  ~RdioReceiver() {
    stop_ = true;
    net::io_context io;
    tcp::socket s(io);
    boost::system::error_code ec;
    s.connect(acceptor_.local_endpoint(), ec);  // wakes the accept
    thread_.join();
  }
  int port() const { return acceptor_.local_endpoint().port(); }
  std::vector<std::string> taken() {
    std::lock_guard lock(mu_);
    return taken_;
  }
  std::atomic<int> drop{0};

 private:
  static std::string field(const std::string& body, const std::string& name) {
    const std::string head = "name=\"" + name + "\"";
    auto at = body.find(head);
    if (at == std::string::npos) return "";
    at = body.find("\r\n\r\n", at);
    return body.substr(at + 4, body.find("\r\n--", at + 4) - at - 4);
  }

  void serve() {
    while (!stop_) {
      tcp::socket s(io_);
      boost::system::error_code ec;
      acceptor_.accept(s, ec);
      if (ec || stop_) return;
      boost::beast::flat_buffer buf;
      http::request<http::string_body> req;
      http::read(s, buf, req, ec);
      if (ec) continue;
      if (drop > 0) {
        --drop;
        continue;  // closed unanswered
      }
      http::response<http::string_body> res;
      const std::string type(req[http::field::content_type]);
      if (req.target() != "/api/call-upload" || type.rfind("multipart/form-data; boundary=", 0) != 0) {
        res.result(http::status::not_found);
      } else if (field(req.body(), "key") != "secret-key") {
        res.result(http::status::unauthorized);
        res.body() = "Invalid API key";
      } else if (field(req.body(), "audio").rfind("OggS", 0) != 0 || field(req.body(), "talkgroup").empty()) {
        res.result(http::status::expectation_failed);
        res.body() = "Incomplete call data: no audio";
      } else {
        std::lock_guard lock(mu_);
        taken_.push_back(field(req.body(), "dateTime"));
        res.body() = "Call imported successfully.";
      }
      res.prepare_payload();
      http::write(s, res, ec);
    }
  }

  net::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<std::string> taken_;
};

TEST(UploadHttp, CallsReachALoopbackReceiverOnceThroughADroppedConnection) {
  const fs::path dir = fs::temp_directory_path() / ("quillon-upload-http-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  RdioReceiver receiver;
  receiver.drop = 1;
  net::io_context io(1);
  AsioEventLoop loop(io);
  {
    CallStore store(dir);
    config::CallUpload d;
    d.name = "rdio";
    d.type = "rdio-scanner";
    d.url = "http://127.0.0.1:" + std::to_string(receiver.port());
    d.api_key = "secret-key";
    d.system = "12";
    UploaderOptions o;
    o.make_client = [&loop] { return make_http_client(loop); };
    Uploader up(loop, store, {d}, o);
    up.start();
    std::vector<std::string> sent;
    for (int i = 0; i < 10; ++i) {
      CallRecord r;
      r.site = "hq";
      r.channel = 1;
      r.start_ms = 1'796'000'000'000LL + i * 10'000;
      r.duration_ms = 2000;
      r.display = {"", "", "FIRE", ""};
      r.file = "c" + std::to_string(i) + ".opus";
      std::ofstream(dir / r.file, std::ios::binary) << "OggS and the rest of a call";
      store.add(r);
      up.stored(r);
      sent.push_back(std::to_string(r.start_ms / 1000));
    }
    // The dropped first attempt is retried after about a second; the whole run takes a few.
    for (int i = 0; i < 300 && receiver.taken().size() < sent.size(); ++i) io.run_for(std::chrono::milliseconds(100));
    EXPECT_EQ(receiver.taken(), sent);
    EXPECT_EQ(up.figures()[0].uploaded, 10u);
    EXPECT_EQ(up.figures()[0].failures, 1u);
    up.stop();
  }
  loop.close();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quillon::calls
