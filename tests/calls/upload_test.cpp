// Uploads to call servers in virtual time: receivers of the three kinds written here from their
// public descriptions check every field they require and answer as those servers do. The queue
// lives in a real call index in a temporary folder, so a restart is a new uploader on it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <map>

#include "audio/listen_encoder.hpp"
#include "calls/calls_api.hpp"
#include "calls/upload_protocols.hpp"
#include "calls/uploader.hpp"
#include "core/log.hpp"
#include "core/virtual_event_loop.hpp"
#include "index_holder.hpp"

namespace quillon::calls {
namespace {

namespace fs = std::filesystem;
using Fields = std::map<std::string, std::pair<std::string, std::string>>;  // name -> (value, file name)

Fields parse_multipart(const std::string& content_type, const std::string& body) {
  Fields f;
  const auto at = content_type.find("boundary=");
  if (content_type.rfind("multipart/form-data", 0) != 0 || at == std::string::npos) return f;
  const std::string delim = "--" + content_type.substr(at + 9);
  std::size_t pos = body.find(delim);
  while (pos != std::string::npos) {
    pos += delim.size();
    if (body.compare(pos, 2, "--") == 0) break;
    const auto head_end = body.find("\r\n\r\n", pos);
    const auto next = body.find("\r\n" + delim, head_end);
    if (head_end == std::string::npos || next == std::string::npos) return {};
    const std::string head = body.substr(pos, head_end - pos);
    const auto n = head.find("name=\"");
    const auto fn = head.find("filename=\"");
    const std::string name = head.substr(n + 6, head.find('"', n + 6) - n - 6);
    const std::string file = fn == std::string::npos ? "" : head.substr(fn + 10, head.find('"', fn + 10) - fn - 10);
    f[name] = {body.substr(head_end + 4, next - head_end - 4), file};
    pos = body.find(delim, next);
  }
  return f;
}

bool whole_number(const std::string& s) {
  return !s.empty() && s.find_first_not_of("-0123456789") == std::string::npos;
}

// A call server: what it took (by the call's start), and how it answers now.
struct Receiver {
  explicit Receiver(std::string k) : kind(std::move(k)) {}
  std::string kind;
  std::string key = "secret-key";
  bool down = false;  // connections refused
  bool hold = false;  // takes the request and never answers
  bool expire_next_url = false;
  std::optional<HttpAnswer> answer_with;  // answers every request so, taking nothing
  std::vector<std::string> taken;  // call start seconds, in the order taken
  int requests = 0;
  std::map<std::string, std::pair<std::string, bool>> urls;  // one-time URL -> (call, used)

  std::optional<HttpAnswer> answer(const HttpRequest& r) {
    ++requests;
    if (down) return HttpAnswer{0, "", "connection refused"};
    if (hold) return std::nullopt;
    if (answer_with) return answer_with;
    if (r.method == "PUT") return put(r);
    const Fields f = parse_multipart(r.content_type, r.body);
    auto missing = [&](std::initializer_list<const char*> names) -> std::string {
      for (const char* n : names)
        if (!f.count(n) || f.at(n).first.empty()) return n;
      return "";
    };
    if (kind == "rdio-scanner") {
      if (r.method != "POST" || r.url != "http://rdio.test/api/call-upload") return HttpAnswer{404, "Not found", ""};
      if (!f.count("key") || f.at("key").first != key) return HttpAnswer{401, "Invalid API key for ...", ""};
      for (const auto* n : {"audio", "audioName", "audioType", "dateTime", "system", "talkgroup", "frequency"})
        if (!missing({n}).empty()) return HttpAnswer{417, std::string("Incomplete call data: no ") + n, ""};
      if (f.at("audio").first.rfind("OggS", 0) != 0 || f.at("audio").second.empty() || !whole_number(f.at("talkgroup").first) ||
          !whole_number(f.at("dateTime").first) || f.at("system").first != "12")
        return HttpAnswer{417, "Incomplete call data: no valid audio or talkgroup", ""};
      taken.push_back(f.at("dateTime").first);
      return HttpAnswer{200, "Call imported successfully.", ""};
    }
    if (kind == "openmhz") {
      if (r.url != "http://openmhz.test/fire/upload") return HttpAnswer{404, "", ""};
      if (!f.count("api_key") || f.at("api_key").first != key) return HttpAnswer{500, "Invalid API Key", ""};
      const std::string m = missing({"call", "talkgroup_num", "freq", "start_time", "stop_time", "call_length", "emergency",
                                     "error_count", "spike_count", "source_list", "patch_list"});
      if (!m.empty()) return HttpAnswer{500, "Missing " + m, ""};
      const auto& [audio, name] = f.at("call");
      const bool mp3 = audio.size() > 2 && static_cast<unsigned char>(audio[0]) == 0xFF && (static_cast<unsigned char>(audio[1]) & 0xE0) == 0xE0;
      if (!mp3 || name.size() < 4 || name.substr(name.size() - 4) != ".mp3") return HttpAnswer{500, "Not an MP3 or M4A file", ""};
      taken.push_back(f.at("start_time").first);
      return HttpAnswer{200, "", ""};
    }
    // Broadcastify: the metadata first, answered with a one-time URL for the audio.
    if (r.url != "http://bcfy.test/call-upload") return HttpAnswer{404, "", ""};
    if (!f.count("apiKey") || f.at("apiKey").first != key) return HttpAnswer{200, "1 Invalid-API-Key", ""};
    const std::string m = missing({"systemId", "callDuration", "ts", "tg", "src", "freq", "enc"});
    if (!m.empty() || f.at("enc").first != "mp3") return HttpAnswer{200, "1 Missing " + m, ""};
    const std::string url = "http://bcfy-store.test/put/" + std::to_string(urls.size() + 1);
    urls[url] = {f.at("ts").first, expire_next_url};
    expire_next_url = false;
    return HttpAnswer{200, "0 " + url, ""};
  }

  HttpAnswer put(const HttpRequest& r) {
    auto it = urls.find(r.url);
    if (it == urls.end() || it->second.second) return {403, "<Error><Code>AccessDenied</Code><Message>Request has expired</Message></Error>", ""};
    if (r.content_type != "audio/mpeg" || r.body.size() < 100) return {400, "", ""};
    it->second.second = true;
    taken.push_back(it->second.first);
    return {200, "", ""};
  }
};

// Answers on the loop, later, as a network would (the server sees the request then); a held
// request is never answered.
class FakeClient final : public HttpClient {
 public:
  FakeClient(EventLoop& loop, std::map<std::string, Receiver*>& hosts) : loop_(loop), hosts_(hosts) {}
  void send(const HttpRequest& r, Done done) override {
    const auto gen = ++*gen_;
    ParsedUrl u;
    parse_url(r.url, u);
    auto it = hosts_.find(u.host);
    if (it == hosts_.end()) it = hosts_.find(u.host.substr(0, u.host.find('-')) + ".test");
    Receiver* to = it == hosts_.end() ? nullptr : it->second;
    loop_.call_after(Millis(20), [g = gen_, gen, to, r, done = std::move(done)] {
      if (gen != *g) return;
      const std::optional<HttpAnswer> a = to ? to->answer(r) : HttpAnswer{0, "", "cannot look up"};
      if (a) done(*a);
    });
  }
  void cancel() override { ++*gen_; }
  ~FakeClient() override { ++*gen_; }

 private:
  EventLoop& loop_;
  std::map<std::string, Receiver*>& hosts_;
  std::shared_ptr<std::uint64_t> gen_ = std::make_shared<std::uint64_t>(0);
};

config::CallUpload destination(const std::string& type, const std::string& url, const std::string& system) {
  config::CallUpload d;
  d.name = type;
  d.type = type;
  d.url = url;
  d.api_key = "secret-key";
  d.system = system;
  d.allow_plain_http = true;
  return d;
}

// One second of a tone as an Ogg/Opus file, as the recorder writes them.
std::string opus_tone() {
  auto enc = audio::make_encoder(audio::ListenFormat::Opus, {16, 16000});
  std::string out;
  for (const auto& h : enc->headers()) out.append(h.begin(), h.end());
  const audio::FormatEncoder::Emit emit = [&](std::span<const std::uint8_t> u) { out.append(u.begin(), u.end()); };
  std::vector<std::int16_t> pcm(16000);
  for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 800 * i / 16000.0));
  enc->encode(pcm.data(), pcm.size(), 16000, emit);
  enc->finish(emit);
  return out;
}

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-uploads-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    store = std::make_unique<CallStore>(dir);
    hosts = {{"rdio.test", &rdio}, {"openmhz.test", &openmhz}, {"bcfy.test", &bcfy}};
    loop.set_wall_time(WallClock::time_point(std::chrono::seconds(1'796'000'000)));
  }
  void TearDown() override {
    uploader.reset();
    store.reset();
    fs::remove_all(dir);
  }

  void start(std::vector<config::CallUpload> dests, int keep_days = 30) {
    uploader.reset();
    UploaderOptions o;
    o.keep_days = keep_days;
    o.make_client = [this] { return std::make_unique<FakeClient>(loop, hosts); };
    o.clock_synchronised = [this] { return clock_synced; };
    o.random = [n = 0u]() mutable { return n += 7919; };
    o.partner_pending = partner_pending;
    uploader = std::make_unique<Uploader>(loop, *store, std::move(dests), std::move(o));
    uploader->start();
  }

  // A call as the recorder stores it, 10 s after the one before; `tell` hands it to the uploader.
  std::string add_call(bool tell = true, int channel = 1) {
    static const std::string audio = opus_tone();
    CallRecord r;
    r.site = "hq";
    r.channel = channel;
    r.start_ms = std::chrono::duration_cast<Millis>(loop.wall_now().time_since_epoch()).count() - 60'000 + 10'000 * ++calls;
    r.duration_ms = 1000;
    r.frequency_hz = 154'430'000;
    r.display = {"SCAN", "154.4300 NFM", "FIRE DISP", "COUNTY"};
    r.file = "2026/12/08/c1-" + std::to_string(calls) + ".opus";
    r.bytes = 512 * 1024;  // as retention counts it
    fs::create_directories((dir / r.file).parent_path());
    std::ofstream(dir / r.file, std::ios::binary) << audio;
    store->add(r);
    if (tell) uploader->stored(r);
    return std::to_string(r.start_ms / 1000);
  }

  // One radio's recording of a transmission that began at `start_ms`, told to the uploader.
  CallRecord add_recording(int channel, std::int64_t start_ms, int signal) {
    static const std::string audio = opus_tone();
    CallRecord r;
    r.site = "hq";
    r.channel = channel;
    r.start_ms = start_ms;
    r.duration_ms = 4000;
    r.frequency_hz = 100'200'000;
    r.signal_max = signal;
    r.display = {"SCAN", "100.2000 WFM", "NRK P1", "BROADCAST"};
    r.file = "2026/12/08/c" + std::to_string(channel) + "-" + std::to_string(start_ms) + ".opus";
    r.bytes = 4096;
    fs::create_directories((dir / r.file).parent_path());
    std::ofstream(dir / r.file, std::ios::binary) << audio;
    store->add(r);
    uploader->stored(r);
    return r;
  }
  std::int64_t wall_ms() { return std::chrono::duration_cast<Millis>(loop.wall_now().time_since_epoch()).count(); }

  nlohmann::json status(const std::string& name) {
    const auto all = uploader->status_json();
    for (const auto& d : all["destinations"])
      if (d["name"] == name) return d;
    return {};
  }

  VirtualEventLoop loop;
  fs::path dir;
  std::unique_ptr<CallStore> store;
  Receiver rdio{"rdio-scanner"}, openmhz{"openmhz"}, bcfy{"broadcastify"};
  std::map<std::string, Receiver*> hosts;
  bool clock_synced = true;
  std::unique_ptr<Uploader> uploader;
  std::function<bool(const CallRecord&)> partner_pending;
  int calls = 0;
};

TEST_F(UploadTest, TenCallsReachEachKindOfServerExactlyOnceAndInOrder) {
  start({destination("rdio-scanner", "http://rdio.test/", "12"), destination("openmhz", "http://openmhz.test", "fire"),
         destination("broadcastify", "http://bcfy.test", "4321")});
  std::vector<std::string> sent;
  for (int i = 0; i < 10; ++i) {
    sent.push_back(add_call());
    loop.advance(Millis(300));
  }
  loop.advance(Millis(5000));
  EXPECT_EQ(rdio.taken, sent);
  EXPECT_EQ(openmhz.taken, sent);
  EXPECT_EQ(bcfy.taken, sent);
  for (const auto& f : uploader->figures()) {
    EXPECT_EQ(f.uploaded, 10u) << f.destination;
    EXPECT_EQ(f.backlog, 0u) << f.destination;
  }
  // Each call shows where it went; the MP3 kept for the two MP3 servers is gone once both have it.
  const auto where = uploader->call_json(3);
  ASSERT_EQ(where.size(), 3u);
  for (const auto& w : where) EXPECT_EQ(w["state"], "done");
  EXPECT_TRUE(fs::is_empty(dir / "mp3"));
}

TEST_F(UploadTest, ABacklogWaitsOutAnOutageWithBoundedRetriesAndDrainsInOrder) {
  start({destination("rdio-scanner", "http://rdio.test", "12")});
  rdio.down = true;
  std::vector<std::string> sent;
  for (int i = 0; i < 6; ++i) sent.push_back(add_call());
  loop.advance(Millis(60'000));
  EXPECT_TRUE(rdio.taken.empty());
  // Back-off: a handful of attempts in the minute, not one per call or per tick.
  EXPECT_GE(rdio.requests, 3);
  EXPECT_LE(rdio.requests, 8);
  EXPECT_EQ(status("rdio-scanner")["backlog"], 6);
  EXPECT_EQ(status("rdio-scanner")["last_error"], "connection refused");
  // Ten more minutes down: the back-off is capped, the attempts go on.
  const int before = rdio.requests;
  loop.advance(Millis(30 * 60'000));
  EXPECT_GE(rdio.requests - before, 3);
  EXPECT_LE(rdio.requests - before, 12);
  rdio.down = false;
  loop.advance(Millis(13 * 60'000));
  EXPECT_EQ(rdio.taken, sent);
  EXPECT_EQ(status("rdio-scanner")["backlog"], 0);
}

TEST_F(UploadTest, ACrashWhileSendingLosesNoCallAndDoublesNone) {
  start({destination("rdio-scanner", "http://rdio.test", "12"), destination("openmhz", "http://openmhz.test", "fire")});
  std::vector<std::string> sent;
  for (int i = 0; i < 3; ++i) sent.push_back(add_call());
  loop.advance(Millis(2000));
  // The servers take the next call but never answer: the process dies meanwhile.
  rdio.hold = openmhz.hold = true;
  sent.push_back(add_call());
  loop.advance(Millis(500));
  uploader.reset();
  // A call stored while the uploader was gone (its row committed, its queue entry not).
  sent.push_back(add_call(false));
  rdio.hold = openmhz.hold = false;
  start({destination("rdio-scanner", "http://rdio.test", "12"), destination("openmhz", "http://openmhz.test", "fire")});
  sent.push_back(add_call());
  loop.advance(Millis(5000));
  EXPECT_EQ(rdio.taken, sent);
  EXPECT_EQ(openmhz.taken, sent);
}

TEST_F(UploadTest, ARefusedKeyPausesThatDestinationOnlyAndSaysWhy) {
  rdio.key = "another-key";
  openmhz.key = "another-key";
  start({destination("rdio-scanner", "http://rdio.test", "12"), destination("openmhz", "http://openmhz.test", "fire"),
         destination("broadcastify", "http://bcfy.test", "4321")});
  for (int i = 0; i < 4; ++i) add_call();
  loop.advance(Millis(3600'000));
  EXPECT_EQ(rdio.requests, 1);
  EXPECT_EQ(openmhz.requests, 1);
  EXPECT_EQ(bcfy.taken.size(), 4u);
  EXPECT_EQ(status("rdio-scanner")["paused"], "answered 401: Invalid API key for ...");
  EXPECT_EQ(status("openmhz")["paused"], "answered 500: Invalid API Key");
  EXPECT_EQ(status("rdio-scanner")["backlog"], 4);
  EXPECT_TRUE(status("broadcastify")["paused"].is_null());
  // The calls' list says per call where it went; the oldest call is the one each refused.
  const auto page = nlohmann::json::parse(handle_calls_request(*store, {"/api/calls", "limit=4", "", "", false}).body);
  ASSERT_EQ(page["calls"].size(), 4u);
  EXPECT_EQ(page["calls"][0]["uploads"], nlohmann::json::parse(R"([{"destination":"broadcastify","state":"done","reason":""},
    {"destination":"openmhz","state":"queued","reason":""},{"destination":"rdio-scanner","state":"queued","reason":""}])"));
  EXPECT_EQ(page["calls"][3]["uploads"][1]["reason"], "answered 500: Invalid API Key");
  EXPECT_EQ(page["calls"][3]["uploads"][2]["reason"], "answered 401: Invalid API key for ...");
  // The calls wait for a start with the right key.
  rdio.key = "secret-key";
  start({destination("rdio-scanner", "http://rdio.test", "12")});
  loop.advance(Millis(5000));
  EXPECT_EQ(rdio.taken.size(), 4u);
}

TEST_F(UploadTest, BroadcastifyAsksAgainWhenTheOneTimeUrlExpiredAndWaitsForASynchronisedClock) {
  clock_synced = false;
  start({destination("broadcastify", "http://bcfy.test", "4321")});
  const std::string first = add_call();
  loop.advance(Millis(120'000));
  EXPECT_EQ(bcfy.requests, 0);
  EXPECT_NE(status("broadcastify")["state"].get<std::string>().find("clock is not synchronised"), std::string::npos);
  clock_synced = true;
  bcfy.expire_next_url = true;
  loop.advance(Millis(61'000));
  EXPECT_EQ(bcfy.taken, std::vector<std::string>{first});
  EXPECT_EQ(bcfy.urls.size(), 2u);  // the expired one, then a fresh one
  // A refusal line about the key pauses the destination, with the line's text.
  bcfy.key = "other";
  add_call();
  loop.advance(Millis(5000));
  EXPECT_EQ(status("broadcastify")["paused"], "refused: Invalid-API-Key");
}

TEST_F(UploadTest, RetentionKeepsQueuedCallsUntilTheyAreOlderThanKeepDays) {
  start({destination("rdio-scanner", "http://rdio.test", "12")}, 1);
  rdio.down = true;
  for (int i = 0; i < 4; ++i) add_call();
  auto now = [&] { return std::chrono::duration_cast<Millis>(loop.wall_now().time_since_epoch()).count(); };
  // Over the size limit (2 MiB of calls, 1 MiB kept): still kept, they wait for the server.
  store->retain(1, 1, now());
  EXPECT_EQ(store->count(), 4);
  // Once one went, it is the one retention may take.
  rdio.down = false;
  for (int i = 0; i < 1000 && rdio.taken.empty(); ++i) loop.advance(Millis(5));
  rdio.down = true;
  ASSERT_EQ(rdio.taken.size(), 1u);
  store->retain(1, 1, now());
  EXPECT_EQ(store->count(), 3);
  // Older than keep_days: given up, counted, removed.
  loop.set_wall_time(loop.wall_now() + std::chrono::hours(48));
  store->retain(1, 0, now());
  EXPECT_EQ(store->count(), 0);
  EXPECT_EQ(uploader->figures()[0].given_up, 3u);
  EXPECT_EQ(uploader->figures()[0].backlog, 0u);
}

// The server's own lines while it lives.
class LogCapture {
 public:
  LogCapture() : path_(fs::temp_directory_path() / ("quillon-upload-log-" + std::to_string(::getpid()))) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    log::set_output(fd_);
  }
  ~LogCapture() {
    log::set_output(2);
    ::close(fd_);
    fs::remove(path_);
  }
  std::string text() const {
    std::ifstream in(path_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  fs::path path_;
  int fd_ = -1;
};

TEST_F(UploadTest, AKeyEchoedByTheServerIsShownNowhere) {
  LogCapture log;
  auto rdio_dest = destination("rdio-scanner", "http://rdio.test", "12");
  rdio_dest.api_key = "KEY-7f3a9c";
  auto omhz = destination("openmhz", "http://openmhz.test", "fire");
  omhz.api_key = "KEY-0b1d2e";
  rdio.key = "KEY-7f3a9c";
  rdio.answer_with = HttpAnswer{500, "invalid api key KEY-7f3a9c (also KEY-0b1d2e)", ""};
  openmhz.answer_with = HttpAnswer{500, "Invalid API Key KEY-0b1d2e", ""};
  start({rdio_dest, omhz});
  add_call();
  loop.advance(Millis(5000));
  const std::string shown = uploader->status_json().dump() + uploader->call_json(1).dump() +
                            handle_calls_request(*store, {"/api/calls", "", "", "", false}).body + log.text();
  EXPECT_NE(shown.find("invalid api key"), std::string::npos) << shown;  // the answer itself is shown
  EXPECT_EQ(shown.find("KEY-7f3a9c"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("KEY-0b1d2e"), std::string::npos) << shown;
}

TEST_F(UploadTest, AnRdioScannerAnswerWithoutItsSuccessTextIsNotAnUpload) {
  start({destination("rdio-scanner", "http://rdio.test", "12")});
  // Something else in front of the server answers 200 with a page of its own.
  rdio.answer_with = HttpAnswer{200, "<html><body>Welcome</body></html>", ""};
  const std::string first = add_call();
  loop.advance(Millis(3000));
  EXPECT_EQ(uploader->figures()[0].uploaded, 0u);
  EXPECT_EQ(uploader->figures()[0].backlog, 1u);
  EXPECT_EQ(uploader->call_json(1)[0]["state"], "queued");
  EXPECT_NE(status("rdio-scanner")["last_error"].get<std::string>().find("Welcome"), std::string::npos);
  // The real server answers: the call goes, once.
  rdio.answer_with.reset();
  loop.advance(Millis(10'000));
  EXPECT_EQ(rdio.taken, std::vector<std::string>{first});
  EXPECT_EQ(uploader->figures()[0].uploaded, 1u);
  EXPECT_EQ(uploader->call_json(1)[0]["state"], "done");
}

TEST_F(UploadTest, WhileAnotherProcessHoldsTheIndexNoCallIsLostOrSentTwice) {
  start({destination("rdio-scanner", "http://rdio.test", "12"), destination("openmhz", "http://openmhz.test", "fire")});
  std::vector<std::string> sent;
  sent.push_back(add_call());
  loop.advance(Millis(10));  // the first requests are on their way
  {
    test::IndexHolder holder(dir / "calls.db");
    // Their answers come while the index is held; calls stored meanwhile (by a store that got in
    // before the hold, as the filer's do) are told to the uploader.
    loop.advance(Millis(3000));
    EXPECT_EQ(rdio.taken.size(), 1u);
  }
  // Calls the uploader heard of while the index was held.
  {
    CallRecord r;
    r.site = "hq";
    r.channel = 1;
    r.start_ms = std::chrono::duration_cast<Millis>(loop.wall_now().time_since_epoch()).count();
    r.duration_ms = 1000;
    r.file = "2026/12/08/c1-late.opus";
    fs::create_directories((dir / r.file).parent_path());
    std::ofstream(dir / r.file, std::ios::binary) << opus_tone();
    store->add(r);
    test::IndexHolder holder(dir / "calls.db");
    uploader->stored(r);
    sent.push_back(std::to_string(r.start_ms / 1000));
    loop.advance(Millis(3000));
  }
  sent.push_back(add_call());
  loop.advance(Millis(10'000));
  EXPECT_EQ(rdio.taken, sent);
  EXPECT_EQ(openmhz.taken, sent);
  for (int id = 1; id <= 3; ++id)
    for (const auto& w : uploader->call_json(id)) EXPECT_EQ(w["state"], "done") << id;
  // A restart sends nothing again.
  start({destination("rdio-scanner", "http://rdio.test", "12"), destination("openmhz", "http://openmhz.test", "fire")});
  loop.advance(Millis(10'000));
  EXPECT_EQ(rdio.taken, sent);
  EXPECT_EQ(openmhz.taken, sent);
}

// The one-time URL goes into the next request line as it stands: a blank, a control character or
// a byte past ASCII in it makes it unusable (found by fuzzing: it was taken).
TEST(UploadAnswers, ABroadcastifyUrlWithBlanksOrBytesPastAsciiIsNotUsed) {
  auto judged = [](const std::string& body) { return judge_first(UploadKind::Broadcastify, HttpAnswer{200, body, ""}); };
  const Verdict good = judged("0 https://upload.example.net/x?sig=abc\n");
  EXPECT_EQ(good.kind, Verdict::PutAudio);
  EXPECT_EQ(good.url, "https://upload.example.net/x?sig=abc");
  for (const char* bad : {"0 https://upload.example.net/x?s\x97\x8f=abc\n", "0 https://upload.example.net/a b\n",
                          "0 https://upload.example.net/a\x01b\n"}) {
    const Verdict v = judged(bad);
    EXPECT_EQ(v.kind, Verdict::Retry) << bad;
    EXPECT_EQ(v.text, "answered an unusable upload URL") << bad;
  }
}

TEST(UploadConfig, DestinationsAreCheckedWithTheirKeyFile) {
  const fs::path key = fs::temp_directory_path() / ("quillon-upload-key-" + std::to_string(::getpid()));
  std::ofstream(key) << "k3y\n";
  fs::permissions(key, fs::perms::owner_read | fs::perms::owner_write);
  const std::string head = "[[calls.upload]]\ntype = \"rdio-scanner\"\napi_key_file = \"" + key.string() + "\"\nsystem = 12\n";
  const auto cfg = config::parse(head + "url = \"https://calls.example.net\"\nchannels = [2]\n"
                                        "talkgroups = [{channel = 2, number = 7, label = \"Fire\"}]\n",
                                 "q.toml");
  ASSERT_EQ(cfg.calls.uploads.size(), 1u);
  EXPECT_TRUE(cfg.calls.enabled);
  EXPECT_EQ(cfg.calls.uploads[0].api_key, "k3y");
  EXPECT_EQ(cfg.calls.uploads[0].name, "rdio-scanner-1");
  EXPECT_EQ(cfg.calls.uploads[0].talkgroups.at(0).number, 7);
  EXPECT_THROW(config::parse(head + "url = \"http://calls.example.net\"\n", "q.toml"), config::ConfigError);
  EXPECT_NO_THROW(config::parse(head + "url = \"http://calls.example.net\"\nallow_plain_http = true\n", "q.toml"));
  EXPECT_THROW(config::parse(head + "url = \"https://x\"\nsytem = 3\n", "q.toml"), config::ConfigError);
  fs::permissions(key, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_THROW(config::parse(head + "url = \"https://x\"\n", "q.toml"), config::ConfigError);
  fs::remove(key);
}

// Two radios record one transmission: while the second still records, the first waits; then
// the stronger recording goes once to each destination and the other is marked linked, its file kept.
TEST_F(UploadTest, OneTransmissionHeardByTwoRadiosGoesOnceToEachDestinationAsTheStrongerRecording) {
  bool recording = true;  // channel 2 still records
  partner_pending = [&](const CallRecord&) { return recording; };
  start({destination("rdio-scanner", "http://rdio.test", "12"), destination("openmhz", "http://openmhz.test", "fire")});
  const std::int64_t t = wall_ms() - 5000;
  const CallRecord a = add_recording(1, t, 10);
  loop.advance(Millis(2000));
  EXPECT_TRUE(rdio.taken.empty());
  EXPECT_TRUE(openmhz.taken.empty());
  EXPECT_EQ(status("rdio-scanner")["state"].get<std::string>().rfind("holding call", 0), 0u) << status("rdio-scanner");
  const CallRecord b = add_recording(2, t + 1000, 40);
  ASSERT_EQ(b.link_id, a.id);
  recording = false;
  loop.advance(Millis(5000));
  const std::vector<std::string> once{std::to_string(b.start_ms / 1000)};
  EXPECT_EQ(rdio.taken, once);
  EXPECT_EQ(openmhz.taken, once);
  for (const auto& w : uploader->call_json(a.id)) {
    EXPECT_EQ(w["state"], "linked");
    EXPECT_EQ(w["reason"], "the same transmission goes as call " + std::to_string(b.id));
  }
  for (const auto& w : uploader->call_json(b.id)) EXPECT_EQ(w["state"], "done");
  EXPECT_TRUE(fs::exists(dir / a.file));
  EXPECT_TRUE(fs::exists(dir / b.file));
  for (const auto& f : uploader->figures()) {
    EXPECT_EQ(f.uploaded, 1u) << f.destination;
    EXPECT_EQ(f.backlog, 0u) << f.destination;
  }
}

// A partner that never comes holds a call for a bounded time; a recording stored after its
// transmission went is not sent again, until the two are separated by hand.
TEST_F(UploadTest, TheWaitForAPartnerIsBoundedAndALaterRecordingGoesOnlyOnceSeparated) {
  partner_pending = [](const CallRecord&) { return true; };
  start({destination("rdio-scanner", "http://rdio.test", "12")});
  const std::int64_t t = wall_ms() - 5000;
  const CallRecord a = add_recording(1, t, 10);
  loop.advance(Uploader::kLinkHold - Millis(1000));
  EXPECT_TRUE(rdio.taken.empty());
  loop.advance(Millis(2000));
  ASSERT_EQ(rdio.taken, std::vector<std::string>{std::to_string(a.start_ms / 1000)});
  const CallRecord b = add_recording(3, t + 2000, 40);
  loop.advance(Uploader::kLinkHold + Millis(2000));
  EXPECT_EQ(rdio.taken.size(), 1u);
  ASSERT_EQ(uploader->call_json(b.id).size(), 1u);
  EXPECT_EQ(uploader->call_json(b.id)[0]["state"], "linked");
  EXPECT_EQ(store->unlink(b.id).size(), 2u);
  loop.advance(Uploader::kLinkHold + Millis(2000));
  EXPECT_EQ(rdio.taken, (std::vector<std::string>{std::to_string(a.start_ms / 1000), std::to_string(b.start_ms / 1000)}));
}

}  // namespace
}  // namespace quillon::calls
