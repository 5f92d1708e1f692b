// The uploader's real HTTP client (Beast on the loop's io_context) against an rdio-scanner
// receiver on a private loopback port: every call arrives once, and a server that drops the
// connection before answering gets the call again.

#include <gtest/gtest.h>

#include <fstream>

#include "calls/rdio_receiver.hpp"

#include "calls/uploader.hpp"
#include "core/asio_event_loop.hpp"

namespace quillon::calls {
namespace {

namespace fs = std::filesystem;
namespace net = boost::asio;

TEST(UploadHttp, CallsReachALoopbackReceiverOnceThroughADroppedConnection) {
  const fs::path dir = fs::temp_directory_path() / ("quillon-upload-http-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  test::RdioReceiver receiver;
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
    EXPECT_EQ(receiver.taken_times(), sent);
    EXPECT_EQ(up.figures()[0].uploaded, 10u);
    EXPECT_EQ(up.figures()[0].failures, 1u);
    up.stop();
  }
  loop.close();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quillon::calls
