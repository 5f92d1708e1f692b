// Cutting calls in virtual time: audio arrives every 20 ms, the squelch is read every 500 ms as
// the poll rotation would, and the output records what it was given.

#include <gtest/gtest.h>

#include <vector>

#include "calls/call_cutter.hpp"
#include "core/virtual_event_loop.hpp"

namespace quillon::calls {
namespace {

constexpr int kRate = 8000;

struct Recorded {
  CallStart start;
  std::size_t samples = 0;
  std::vector<std::int16_t> first_samples;  // the first 10 ms
  bool ended = false;
  CallEnd end;
  TimePoint ended_at{};
};

class FakeOutput final : public CallOutput {
 public:
  explicit FakeOutput(EventLoop& loop) : loop_(loop) {}
  void begin(const CallStart& s) override {
    ASSERT_TRUE(calls.empty() || calls.back().ended) << "a call began inside another";
    calls.push_back({});
    calls.back().start = s;
  }
  void audio(const std::int16_t* s, std::size_t n, int rate) override {
    ASSERT_FALSE(calls.empty());
    ASSERT_FALSE(calls.back().ended);
    EXPECT_EQ(rate, kRate);
    auto& c = calls.back();
    for (std::size_t i = 0; i < n && c.first_samples.size() < kRate / 100; ++i) c.first_samples.push_back(s[i]);
    c.samples += n;
  }
  void end(const CallEnd& e) override {
    ASSERT_FALSE(calls.empty());
    calls.back().ended = true;
    calls.back().end = e;
    calls.back().ended_at = loop_.now();
  }
  std::vector<Recorded> calls;

 private:
  EventLoop& loop_;
};

class CutterRig {
 public:
  explicit CutterRig(CutSettings s) : out(loop), cutter(loop, s, out) {
    loop.set_wall_time(WallClock::time_point(std::chrono::milliseconds(1'800'000'000'000)));
    t0 = loop.now();
    feed();
    read_squelch();
  }
  // Audio every 20 ms: a number counting the chunks (so the pre-roll's age can be read back), loud
  // while `loud`.
  void feed() {
    std::vector<std::int16_t> chunk(kRate / 50, static_cast<std::int16_t>(loud ? 8000 + chunks % 1000 : chunks % 8));
    ++chunks;
    cutter.pcm(chunk.data(), chunk.size(), kRate);
    loop.call_after(Millis(20), [this] { feed(); });
  }
  // The rotation reads the squelch every 500 ms; `answers` false: the radio does not say.
  void read_squelch() {
    if (answers) cutter.squelch(squelch);
    cutter.tick();
    loop.call_after(Millis(500), [this] { read_squelch(); });
  }
  void run_for(int ms) { loop.advance(Millis(ms)); }
  std::int64_t at_ms(TimePoint t) const { return std::chrono::duration_cast<Millis>(t - t0).count(); }

  VirtualEventLoop loop;
  FakeOutput out;
  CallCutter cutter;
  TimePoint t0;
  bool squelch = false;
  bool answers = true;
  bool loud = false;
  int chunks = 0;
};

RadioView tuned(std::int64_t hz, const std::string& tag, const std::string& bank) {
  RadioView v;
  v.frequency_hz = hz;
  v.modulation = "NFM";
  v.display = {"SCAN +   C 020", " 167.3500  NFM", tag, bank};
  v.signal = 120;
  return v;
}

TEST(CallCutter, KeepsThePreRollAndEndsAfterTheHangTime) {
  CutSettings s;  // hang 2 s, pre-roll 0.8 s, min 1 s
  CutterRig rig(s);
  rig.run_for(3000);
  const std::int64_t wall_at_open = std::chrono::duration_cast<Millis>(rig.loop.wall_now().time_since_epoch()).count();
  rig.squelch = true;
  rig.cutter.radio(tuned(167'350'000, "AMK OSL CH 2", "BLAALYS"), CallCutter::Reading::Display);
  rig.run_for(501);  // the squelch is seen open at 3.5 s
  ASSERT_EQ(rig.out.calls.size(), 1u);
  // The start lies 0.8 s before the opening was seen: the first syllable is in the file.
  EXPECT_NEAR(rig.out.calls[0].start.start_ms, wall_at_open + 500 - 800, 25);
  // The first samples kept are the chunk from 0.8 s before the opening was seen (chunk 135 of 50/s).
  ASSERT_FALSE(rig.out.calls[0].first_samples.empty());
  EXPECT_EQ(rig.out.calls[0].first_samples[0], (3500 - 800) / 20 % 8);

  rig.run_for(2500);  // open until 6 s, seen closed at 6.5 s
  rig.squelch = false;
  rig.run_for(1999);  // the hang time runs: a word after a short pause belongs to the same call
  EXPECT_FALSE(rig.out.calls[0].ended);
  rig.run_for(600);
  ASSERT_TRUE(rig.out.calls[0].ended);
  const Recorded& c = rig.out.calls[0];
  EXPECT_TRUE(c.end.keep);
  EXPECT_NEAR(c.end.open_ms, 3000, 10);
  EXPECT_EQ(c.end.radio.display[2], "AMK OSL CH 2");
  EXPECT_EQ(c.end.radio.frequency_hz, 167'350'000);
  // Pre-roll + open + hang, in audio.
  EXPECT_NEAR(static_cast<double>(c.samples) / kRate, 0.8 + 3.0 + 2.0, 0.1);
  EXPECT_NEAR(rig.at_ms(c.ended_at), 6500 + 2000, 10);
  EXPECT_FALSE(rig.cutter.in_call());
}

TEST(CallCutter, DropsAnOpeningShorterThanTheMinimum) {
  CutterRig rig(CutSettings{});
  rig.run_for(1100);
  rig.squelch = true;
  rig.run_for(500);  // seen open once: 0.5 s of open squelch
  rig.squelch = false;
  rig.run_for(5000);
  ASSERT_EQ(rig.out.calls.size(), 1u);
  ASSERT_TRUE(rig.out.calls[0].ended);
  EXPECT_FALSE(rig.out.calls[0].end.keep);
  EXPECT_LT(rig.out.calls[0].end.open_ms, 1000);
}

TEST(CallCutter, ATagChangeEndsTheCallAndStartsTheNextAtOnce) {
  CutterRig rig(CutSettings{});
  rig.cutter.radio(tuned(167'350'000, "AMK OSL CH 2", "BLAALYS"), CallCutter::Reading::Display);
  rig.squelch = true;
  rig.run_for(1000);
  rig.cutter.radio(tuned(167'350'000, "AMK OSL CH 2", "BLAALYS"), CallCutter::Reading::Display);
  rig.run_for(2000);
  ASSERT_EQ(rig.out.calls.size(), 1u);
  // The radio moved on to another channel without closing the squelch in between.
  rig.cutter.radio(tuned(156'100'000, "VHF Channel 2", "MARINE"), CallCutter::Reading::Display);
  ASSERT_EQ(rig.out.calls.size(), 2u);
  EXPECT_TRUE(rig.out.calls[0].ended);
  EXPECT_TRUE(rig.out.calls[0].end.keep);
  EXPECT_EQ(rig.out.calls[0].end.radio.display[2], "AMK OSL CH 2");
  EXPECT_FALSE(rig.out.calls[1].ended);
  rig.run_for(2000);
  rig.squelch = false;
  rig.run_for(3000);
  ASSERT_EQ(rig.out.calls.size(), 2u);
  const Recorded& second = rig.out.calls[1];
  EXPECT_TRUE(second.end.keep);
  EXPECT_EQ(second.end.radio.display[2], "VHF Channel 2");
  EXPECT_EQ(second.end.radio.display[3], "MARINE");
  EXPECT_EQ(second.end.radio.frequency_hz, 156'100'000);
  // No pre-roll for the second: its audio is what followed the change (2 s open + 2 s hang).
  EXPECT_NEAR(static_cast<double>(second.samples) / kRate, 4.5, 0.6);
  EXPECT_GE(second.start.start_ms, rig.out.calls[0].start.start_ms + 3000);

  // A third call: the radio scans on after it, and its display is read before its squelch.
  rig.squelch = true;
  rig.run_for(3000);
  ASSERT_EQ(rig.out.calls.size(), 3u);
  rig.cutter.radio(tuned(156'100'000, "VHF Channel 2", "MARINE"), CallCutter::Reading::Display);
  rig.squelch = false;
  RadioView scanning;
  scanning.display = {"SCAN +   C 107", "  SCAN", "Bank  1--------0", "Bank  1"};
  rig.cutter.radio(scanning, CallCutter::Reading::Display);
  rig.run_for(3000);
  // The call ended at the change; what began on the last (open) squelch reading was no call.
  ASSERT_EQ(rig.out.calls.size(), 4u);
  EXPECT_TRUE(rig.out.calls[2].end.keep);
  EXPECT_TRUE(rig.out.calls[3].ended);
  EXPECT_TRUE(rig.out.calls[3].end.abandoned);
  EXPECT_FALSE(rig.out.calls[3].end.keep);
}

TEST(CallCutter, FirstDisplayAfterTheOpeningDescribesTheCallInsteadOfSplittingIt) {
  CutterRig rig(CutSettings{});
  RadioView scanning;
  scanning.display = {"SCAN +   C 107", "  SCAN", "Bank  1--------0", "Bank  1"};
  rig.cutter.radio(scanning, CallCutter::Reading::Display);
  rig.squelch = true;
  rig.run_for(600);
  rig.cutter.radio(tuned(118'500'000, "TWR Gardermoen", "AIR"), CallCutter::Reading::Display);
  rig.cutter.radio(tuned(118'500'000, "TWR Gardermoen", "AIR"), CallCutter::Reading::Frequency);
  rig.run_for(2000);
  rig.squelch = false;
  rig.run_for(3000);
  ASSERT_EQ(rig.out.calls.size(), 1u);
  EXPECT_EQ(rig.out.calls[0].end.radio.display[2], "TWR Gardermoen");
  EXPECT_EQ(rig.out.calls[0].end.radio.frequency_hz, 118'500'000);
}

TEST(CallCutter, AStuckSquelchIsCutAtTheHardMaximumIntoLinkedParts) {
  CutSettings s;
  s.soft_max_s = 3;
  s.max_s = 5;
  CutterRig rig(s);
  rig.squelch = true;
  rig.run_for(14'000);
  rig.squelch = false;
  rig.run_for(5000);
  ASSERT_EQ(rig.out.calls.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(rig.out.calls[static_cast<std::size_t>(i)].start.part, i + 1);
    EXPECT_TRUE(rig.out.calls[static_cast<std::size_t>(i)].end.keep);
  }
  // Each part follows the one before without a gap or an overlap; the second is 5 s long.
  for (std::size_t i = 0; i < 2; ++i)
    EXPECT_NEAR(rig.out.calls[i].start.start_ms + static_cast<std::int64_t>(rig.out.calls[i].samples * 1000 / kRate),
                rig.out.calls[i + 1].start.start_ms, 25);
  EXPECT_NEAR(static_cast<double>(rig.out.calls[1].samples) / kRate, 5.0, 0.1);
  // The last part: past the soft maximum, the closing ends it at once, without the hang time.
  EXPECT_NEAR(rig.at_ms(rig.out.calls[2].ended_at), 14'500, 10);
}

TEST(CallCutter, TheLevelGateCutsWhereTheRadioGivesNoSquelchState) {
  CutSettings s;  // gate "auto"
  CutterRig rig(s);
  rig.answers = false;  // the radio stops answering "SQ": after 3 s the level takes over
  rig.run_for(3500);
  rig.loud = true;
  rig.run_for(2000);
  rig.loud = false;
  rig.run_for(3000);
  ASSERT_EQ(rig.out.calls.size(), 1u);
  EXPECT_TRUE(rig.out.calls[0].end.keep);
  EXPECT_NEAR(rig.out.calls[0].end.open_ms, 2000, 40);

  // "both": a loud channel with the squelch closed records nothing.
  CutSettings both;
  both.gate = Gate::Both;
  CutterRig rig2(both);
  rig2.loud = true;
  rig2.run_for(3000);
  EXPECT_TRUE(rig2.out.calls.empty());
  rig2.squelch = true;
  rig2.run_for(3000);
  EXPECT_EQ(rig2.out.calls.size(), 1u);
}

TEST(CallCutter, DisplayLinesAreTheTextsBetweenTheBrackets) {
  const auto lines = display_lines("xxLCD1 [SCAN +   C 020][################]\rLCD2 [ 167.3500  FM   ][                ]\r"
                                   "LCD3 [AMK OSL CH 2    ][                ]\rLCD4 [BLAALYS         ][                ]\r");
  EXPECT_EQ(lines[0], "SCAN +   C 020");
  EXPECT_EQ(lines[1], "167.3500  FM");
  EXPECT_EQ(lines[2], "AMK OSL CH 2");
  EXPECT_EQ(lines[3], "BLAALYS");
}

}  // namespace
}  // namespace quillon::calls
