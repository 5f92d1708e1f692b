// Uploads at scale, on the production loop and HTTP client, to three call servers on loopback
// ports (rdio-scanner, OpenMHz, Broadcastify Calls with its one-time URL), each a minimal server
// in a thread of its own that takes every call:
//   1. the servers up, a call stored every 200 ms: time from stored to accepted, per server;
//   2. a backlog of N calls (default 10,000) stored while the uploader did not run, drained to
//      all three: the loop thread's CPU time, the process's peak RSS, the drain's wall time.
//
//   calls_upload [N] [DIR]

#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/listen_encoder.hpp"
#include "calls/call_store.hpp"
#include "calls/upload_mp3.hpp"
#include "calls/uploader.hpp"
#include "core/asio_event_loop.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
namespace http = boost::beast::http;
using quillon::calls::CallRecord;

// Takes every call: answers as the server of its kind does when it imports one, and notes when.
class Receiver {
 public:
  explicit Receiver(std::string type) : type_(std::move(type)), acceptor_(io_, {boost::asio::ip::make_address("127.0.0.1"), 0}) {
    thread_ = std::thread([this] { serve(); });
  }
  ~Receiver() {
    stop_ = true;
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket s(io);
    boost::system::error_code ec;
    s.connect(acceptor_.local_endpoint(), ec);  // wakes the accept
    thread_.join();
  }
  int port() const { return acceptor_.local_endpoint().port(); }
  std::vector<Clock::time_point> accepted() {
    std::lock_guard lock(mu_);
    return accepted_;
  }
  std::size_t count() {
    std::lock_guard lock(mu_);
    return accepted_.size();
  }
  void clear() {
    std::lock_guard lock(mu_);
    accepted_.clear();
  }

 private:
  void serve() {
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
      http::response<http::string_body> res{http::status::ok, 11};
      bool taken = true;
      if (type_ == "rdio-scanner") {
        res.body() = "Call imported successfully.";
      } else if (type_ == "broadcastify" && req.method() == http::verb::post) {
        res.body() = "0 http://127.0.0.1:" + std::to_string(port()) + "/audio/" + std::to_string(++slots_) + "\n";
        taken = false;  // the audio is still to come
      }
      if (req.body().empty()) {
        res.result(http::status::bad_request);
        taken = false;
      }
      if (taken) {
        std::lock_guard lock(mu_);
        accepted_.push_back(Clock::now());
      }
      res.prepare_payload();
      http::write(s, res, ec);
    }
  }

  std::string type_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<Clock::time_point> accepted_;
  int slots_ = 0;
};

// One second of a tone as an Ogg/Opus file, as the recorder writes them.
std::string opus_tone() {
  auto enc = quillon::audio::make_encoder(quillon::audio::ListenFormat::Opus, {16, 16000});
  std::string out;
  for (const auto& h : enc->headers()) out.append(h.begin(), h.end());
  const quillon::audio::FormatEncoder::Emit emit = [&](std::span<const std::uint8_t> u) { out.append(u.begin(), u.end()); };
  std::vector<std::int16_t> pcm(16000);
  for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 800 * static_cast<double>(i) / 16000.0));
  enc->encode(pcm.data(), pcm.size(), 16000, emit);
  enc->finish(emit);
  return out;
}

CallRecord call(std::int64_t i) {
  CallRecord r;
  r.site = "hq";
  r.channel = 1 + static_cast<int>(i % 4);
  r.start_ms = 1'796'000'000'000 + i * 3000;
  r.duration_ms = 1000;
  r.frequency_hz = 118'500'000;
  r.modulation = "AM";
  r.display = {"SCAN", "118.5000 AM", "TWR Gardermoen", "AIR"};
  r.file = "2026/12/08/c" + std::to_string(i) + ".opus";  // each a link to the same audio
  r.bytes = 8000;
  return r;
}

quillon::config::CallUpload destination(const std::string& type, int port, const std::string& system) {
  quillon::config::CallUpload d;
  d.name = type;
  d.type = type;
  d.url = "http://127.0.0.1:" + std::to_string(port);
  d.api_key = "bench-key";
  d.system = system;
  d.allow_plain_http = true;
  return d;
}

double cpu_seconds(int who) {
  rusage u{};
  ::getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long peak_rss_kb() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  const std::int64_t n = argc > 1 ? std::stoll(argv[1]) : 10'000;
  const fs::path dir = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "quillon-upload-bench";
  fs::remove_all(dir);
  Receiver rdio("rdio-scanner"), openmhz("openmhz"), bcfy("broadcastify");
  std::vector<Receiver*> receivers = {&rdio, &openmhz, &bcfy};
  const std::vector<quillon::config::CallUpload> dests = {destination("rdio-scanner", rdio.port(), "12"),
                                                           destination("openmhz", openmhz.port(), "fire"),
                                                           destination("broadcastify", bcfy.port(), "4321")};
  quillon::calls::CallStore store(dir);
  fs::create_directories(dir / "2026/12/08");
  std::ofstream(dir / "tone.opus", std::ios::binary) << opus_tone();
  const auto audio_of = [&](const CallRecord& r) { fs::create_hard_link(dir / "tone.opus", dir / r.file); };

  boost::asio::io_context io;
  quillon::AsioEventLoop loop(io);
  quillon::calls::UploaderOptions options;
  options.make_client = [&loop] { return quillon::calls::make_http_client(loop); };
  options.clock_synchronised = [] { return true; };
  auto uploader = std::make_unique<quillon::calls::Uploader>(loop, store, dests, options);
  uploader->start();

  // 1. One call every 200 ms with the servers up.
  const int live = 50;
  std::vector<Clock::time_point> stored_at;
  std::int64_t next = 0;
  std::function<void()> store_one = [&] {
    CallRecord r = call(next++);
    audio_of(r);
    store.add(r);
    stored_at.push_back(Clock::now());
    uploader->stored(r);
    if (next < live) loop.call_after(quillon::Millis(200), store_one);
  };
  loop.post(store_one);
  auto run_until = [&](auto done, std::chrono::seconds limit) {
    const auto until = Clock::now() + limit;
    while (!done() && Clock::now() < until) io.run_for(std::chrono::milliseconds(50));
    return done();
  };
  const bool all_live = run_until([&] {
    for (auto* r : receivers)
      if (r->count() < static_cast<std::size_t>(live)) return false;
    return true;
  }, std::chrono::seconds(120));
  std::printf("stored to accepted, %d calls, one every 200 ms%s:\n", live, all_live ? "" : " (NOT ALL ACCEPTED)");
  for (std::size_t k = 0; k < receivers.size(); ++k) {
    const auto at = receivers[k]->accepted();
    std::vector<double> ms;
    for (std::size_t i = 0; i < std::min(at.size(), stored_at.size()); ++i)
      ms.push_back(std::chrono::duration<double, std::milli>(at[i] - stored_at[i]).count());
    std::printf("  %-13s median %.1f ms, p99 %.1f ms, max %.1f ms\n", dests[k].name.c_str(), percentile(ms, 0.5), percentile(ms, 0.99),
                percentile(ms, 1.0));
  }

  // 2. A backlog stored while the uploader did not run, in one transaction to save time.
  uploader.reset();
  for (auto* r : receivers) r->clear();
  // A connection of its own, as a bulk load from outside would be.
  sqlite3* db = nullptr;
  sqlite3_open((store.dir() / "calls.db").c_str(), &db);
  sqlite3_busy_timeout(db, 5000);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO calls (site, channel, start_ms, duration_ms, frequency_hz, modulation, d1, d2, d3, d4, "
                     "signal_max, tone, part, prev_id, file, bytes) VALUES (?,?,?,?,?,?,?,?,?,?,0,'',1,0,?,?)",
                     -1, &ins, nullptr);
  for (std::int64_t i = live; i < live + n; ++i) {
    const CallRecord r = call(i);
    audio_of(r);
    sqlite3_reset(ins);
    sqlite3_bind_text(ins, 1, r.site.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(ins, 2, r.channel);
    sqlite3_bind_int64(ins, 3, r.start_ms);
    sqlite3_bind_int(ins, 4, r.duration_ms);
    sqlite3_bind_int64(ins, 5, r.frequency_hz);
    sqlite3_bind_text(ins, 6, r.modulation.c_str(), -1, SQLITE_TRANSIENT);
    for (int k = 0; k < 4; ++k) sqlite3_bind_text(ins, 7 + k, r.display[static_cast<std::size_t>(k)].c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(ins, 11, r.file.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(ins, 12, r.bytes);
    if (sqlite3_step(ins) != SQLITE_DONE) {
      std::fprintf(stderr, "bulk insert: %s\n", sqlite3_errmsg(db));
      return 1;
    }
  }
  sqlite3_finalize(ins);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);

  const long rss_before = peak_rss_kb();
  const double cpu_before = cpu_seconds(RUSAGE_THREAD);
  const double all_before = cpu_seconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  uploader = std::make_unique<quillon::calls::Uploader>(loop, store, dests, options);
  uploader->start();
  const bool drained = run_until([&] {
    for (auto* r : receivers)
      if (r->count() < static_cast<std::size_t>(n)) return false;
    return true;
  }, std::chrono::seconds(3600));
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = cpu_seconds(RUSAGE_THREAD) - cpu_before;
  const double all = cpu_seconds(RUSAGE_SELF) - all_before;
  std::printf("backlog of %lld calls to 3 servers%s: drained in %.1f s (%.0f uploads/s)\n", static_cast<long long>(n),
              drained ? "" : " (NOT DRAINED)", wall, 3.0 * static_cast<double>(n) / wall);
  std::printf("  uploader (loop thread) CPU %.1f s = %.2f ms per call (MP3 once, three uploads); whole process %.1f s\n", cpu,
              1000.0 * cpu / static_cast<double>(n), all);
  std::printf("  peak RSS %.1f MB (%.1f MB before the drain)\n", static_cast<double>(peak_rss_kb()) / 1024.0,
              static_cast<double>(rss_before) / 1024.0);
  for (const auto& f : uploader->figures())
    std::printf("  %-13s uploaded %llu, failures %llu, backlog %llu\n", f.destination.c_str(), static_cast<unsigned long long>(f.uploaded),
                static_cast<unsigned long long>(f.failures), static_cast<unsigned long long>(f.backlog));
  uploader.reset();
  // Of that, the MP3 encoding of a call (once per call, for OpenMHz and Broadcastify).
  const double mp3_before = cpu_seconds(RUSAGE_THREAD);
  for (int i = 0; i < 100; ++i) quillon::calls::opus_file_to_mp3(dir / "tone.opus");
  std::printf("  of which MP3 encoding: %.2f ms per call\n", (cpu_seconds(RUSAGE_THREAD) - mp3_before) * 10.0);
  fs::remove_all(dir);
  return drained && all_live ? 0 : 1;
}
