// The recorder in virtual time on a real index in a temporary folder, with another connection
// holding the index as a backup or a sqlite3 shell would: no finished call is lost, the calls go
// in in the order they ended once the index is free, also after a restart, and the Audio page
// says what is going on meanwhile.

#include <gtest/gtest.h>

#include <cmath>

#include "calls/call_recorder.hpp"
#include "core/virtual_event_loop.hpp"
#include "index_holder.hpp"

namespace quillon::calls {
namespace {

namespace fs = std::filesystem;

class CallRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-recorder-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    loop.set_wall_time(WallClock::time_point(std::chrono::seconds(1'796'000'000)));
    cfg.enabled = true;
    cfg.channels = {true, false, false, false};
  }
  void TearDown() override {
    recorder.reset();
    fs::remove_all(dir);
  }

  void open() {
    std::array<PcmSource, 4> sources;
    sources[0] = {[this](PcmSource::Tap t) {
                    tap = std::move(t);
                    return 1;
                  },
                  [this](int) { tap = nullptr; }, [] { return true; }};
    recorder = std::make_unique<CallRecorder>(loop, cfg, dir, "hq", std::move(sources));
    recorder->on_state = [this](int channel, const std::string& text) {
      if (channel == 1) state = text;
    };
    recorder->on_stored = [this](const CallRecord& r) { stored.push_back(r.start_ms); };
    recorder->start();
  }

  // 100 ms of a tone, and the squelch reading every half second, as the poller reads it.
  void step(bool open_squelch) {
    if (ms_ % 500 == 0) recorder->on_reply(1, 10, open_squelch ? "+" : "-");
    std::vector<std::int16_t> pcm(800);
    for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::int16_t>(6000 * std::sin(i * 0.3));
    if (tap) tap(pcm.data(), pcm.size(), 8000);
    loop.advance(Millis(100));
    ms_ += 100;
  }
  // A transmission of `seconds`, then the squelch closed past the hang time: one call stored.
  void transmission(int seconds) {
    for (int i = 0; i < seconds * 10; ++i) step(true);
    for (int i = 0; i < 30; ++i) step(false);
  }

  std::vector<std::int64_t> listed_starts() {
    std::vector<std::int64_t> starts;
    for (const auto& c : recorder->store().find({}).calls) starts.insert(starts.begin(), c.start_ms);
    return starts;
  }

  VirtualEventLoop loop;
  fs::path dir;
  config::Calls cfg;
  PcmSource::Tap tap;
  std::unique_ptr<CallRecorder> recorder;
  std::string state;
  std::vector<std::int64_t> stored;
  int ms_ = 0;
};

TEST_F(CallRecorderTest, CallsEndingWhileTheIndexIsHeldWaitAndGoInInOrderWhenItIsFree) {
  open();
  transmission(2);
  ASSERT_EQ(stored.size(), 1u);
  const double held_at = std::chrono::duration<double>(loop.wall_now().time_since_epoch()).count();
  auto holder = std::make_unique<test::IndexHolder>(dir / "calls.db");
  for (int i = 0; i < 3; ++i) transmission(2 + i);
  loop.advance(Millis(3000));
  // Kept, not stored yet, not lost; the page and the figures say why.
  EXPECT_EQ(stored.size(), 1u);
  EXPECT_EQ(recorder->figures().waiting_for_index, 3u);
  EXPECT_GE(recorder->figures().index_busy_since_seconds, held_at);
  EXPECT_LE(recorder->figures().index_busy_since_seconds, std::chrono::duration<double>(loop.wall_now().time_since_epoch()).count());
  EXPECT_EQ(state.rfind("index busy since ", 0), 0u) << state;
  EXPECT_NE(state.find("(3 calls wait)"), std::string::npos) << state;
  EXPECT_EQ(recorder->figures().channels[0].errors, 0u);
  // Listing goes on from what is stored.
  EXPECT_EQ(listed_starts().size(), 1u);

  holder.reset();
  transmission(2);  // ends behind the waiting ones
  for (int i = 0; i < 30 && stored.size() < 5; ++i) loop.advance(Millis(100));
  ASSERT_EQ(stored.size(), 5u);
  EXPECT_TRUE(std::is_sorted(stored.begin(), stored.end()));
  EXPECT_EQ(listed_starts(), stored);
  for (const auto& c : recorder->store().find({}).calls) EXPECT_TRUE(fs::exists(dir / c.file)) << c.file;
  EXPECT_TRUE(fs::is_empty(recorder->store().incoming()));
  loop.advance(Millis(1000));
  EXPECT_EQ(state, "waiting for a call");
  EXPECT_EQ(recorder->figures().waiting_for_index, 0u);
  EXPECT_EQ(recorder->figures().index_busy_since_seconds, 0);
}

TEST_F(CallRecorderTest, CallsStillWaitingWhenTheProcessEndsAreStoredAtTheNextStart) {
  open();
  auto holder = std::make_unique<test::IndexHolder>(dir / "calls.db");
  transmission(2);
  transmission(3);
  ASSERT_TRUE(stored.empty());
  // What a kill leaves: the audio and the rows beside it in incoming/, nothing in the index.
  recorder.reset();
  holder.reset();
  open();
  for (int i = 0; i < 30 && stored.size() < 2; ++i) loop.advance(Millis(100));
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_LT(stored[0], stored[1]);
  EXPECT_EQ(listed_starts(), stored);
  const auto calls = recorder->store().find({}).calls;
  for (const auto& c : calls) EXPECT_TRUE(fs::exists(dir / c.file)) << c.file;
  EXPECT_GT(calls.front().duration_ms, calls.back().duration_ms);  // the 3 s one ended last
  EXPECT_TRUE(fs::is_empty(recorder->store().incoming()));
}

}  // namespace
}  // namespace quillon::calls
