// The simulated radio answers like the protocol notes say a BC785/BC796 does.

#include <gtest/gtest.h>

#include "radio.hpp"

namespace quillon::sim {
namespace {

TEST(SimRadio, DisplayFrameIsFourLinesOf41CharactersEach) {
  Radio r(Model::BC785, 19200, 1);
  for (int i = 0; i < 20; ++i) {
    const std::string frame = r.answer("LCD");
    ASSERT_EQ(frame.size(), 168u);
    for (int line = 0; line < 4; ++line) {
      const std::string l = frame.substr(static_cast<std::size_t>(line) * 42, 42);
      EXPECT_EQ(l.substr(0, 6), "LCD" + std::to_string(line + 1) + " [");
      EXPECT_EQ(l.substr(22, 2), "][");
      EXPECT_EQ(l.substr(40), "]\r");
    }
    r.step_display();
  }
}

TEST(SimRadio, AnswersQueriesSetCommandsAndUnknownText) {
  Radio r(Model::BC796, 9600, 2);
  EXPECT_EQ(r.answer("ST"), "ST 12.5K\r");
  EXPECT_EQ(r.answer("SI").substr(0, 9), "SI BC796D");
  EXPECT_EQ(r.answer("AT"), "ATF\r");
  EXPECT_EQ(r.answer("QUN"), "OK\r");
  EXPECT_EQ(r.answer("XYZ"), "ERR\r");
  const std::string sg = r.answer("SG");
  EXPECT_EQ(sg.size(), 15u);
  EXPECT_EQ(sg[0], 'S');
  EXPECT_EQ(r.answer(""), "");
}

// The display's line n (1..4) without its attributes.
std::string line(const Radio& r, int n) { return r.display_frame().substr(static_cast<std::size_t>(n - 1) * 42 + 6, 16); }

TEST(SimRadio, KeysAndSetCommandsShowOnTheDisplay) {
  Radio r(Model::BC785, 19200, 4);
  r.set_auto_stops(false);
  EXPECT_EQ(line(r, 1).substr(0, 4), "SCAN");
  EXPECT_EQ(r.answer("KEY07"), "OK\r");  // HOLD: no more scanning
  EXPECT_EQ(line(r, 1).substr(0, 4), "HOLD");
  const std::string held = r.display_frame();
  for (int i = 0; i < 5; ++i) r.step_display();
  EXPECT_EQ(r.display_frame(), held);
  EXPECT_EQ(r.answer("MD"), "MD01\r");

  EXPECT_EQ(r.answer("ATN"), "OK\r");
  EXPECT_NE(line(r, 1).find("ATT"), std::string::npos);
  EXPECT_EQ(r.answer("AT"), "ATN\r");
  EXPECT_EQ(r.answer("KEY06"), "OK\r");  // L/O of the channel it holds
  EXPECT_EQ(line(r, 3).substr(0, 3), "L/O");

  EXPECT_EQ(r.answer("RF01568000"), "OK\r");
  EXPECT_EQ(r.answer("RM FM"), "OK\r");
  EXPECT_NE(line(r, 2).find("156.8000  FM"), std::string::npos) << line(r, 2);
  EXPECT_EQ(r.answer("MD"), "MD08\r");
  EXPECT_EQ(r.answer("RF1568"), "NG\r");

  // Typed on the keypad: 1 4 6 . 5 2 E tunes there.
  for (const char* key : {"KEY021", "KEY024", "KEY026", "KEY03", "KEY025", "KEY022"}) EXPECT_EQ(r.answer(key), "OK\r");
  EXPECT_EQ(r.answer("KEY04"), "OK\r");
  EXPECT_NE(line(r, 2).find("146.5200"), std::string::npos) << line(r, 2);

  EXPECT_EQ(r.answer("KEY01"), "OK\r");  // SCAN resumes
  EXPECT_EQ(line(r, 1).substr(0, 4), "SCAN");
  EXPECT_EQ(r.answer("MA102"), "OK\r");  // memory channel 102 is the marine channel
  EXPECT_EQ(line(r, 3), "VHF Channel 2   ");
  EXPECT_EQ(r.answer("MA999"), "NG\r");
  EXPECT_EQ(r.answer("KEY99"), "NG\r");
  EXPECT_EQ(r.answer("KEY07H"), "OK\r");
}

TEST(SimRadio, LockedOutChannelsAreNotStoppedOn) {
  Radio r(Model::BC785, 19200, 5);
  for (std::size_t c = 1; c <= r.channels(); ++c) {
    r.answer("MA" + std::string(c == 2 ? "102" : c == 1 ? "020" : c == 3 ? "031" : c == 4 ? "057" : "008"));
    if (c != 3) r.answer("KEY06");
  }
  r.answer("KEY01");
  int stops = 0;
  for (int i = 0; i < 200; ++i) {
    r.step_display();
    if (!r.squelch_open()) continue;
    ++stops;
    EXPECT_EQ(r.current_channel(), 2u);
  }
  EXPECT_GT(stops, 0);
}

TEST(SimRadio, FaultsChangeTheReplies) {
  Radio r(Model::BC785, 19200, 3);
  r.faults().ng_count = 1;
  r.faults().err_count = 1;
  EXPECT_EQ(r.answer("ST"), "NG\r");
  EXPECT_EQ(r.answer("ST"), "ERR\r");
  EXPECT_EQ(r.answer("ST"), "ST 12.5K\r");
  r.faults().no_cr = true;
  EXPECT_EQ(r.answer("LCD").find('\r'), std::string::npos);
  r.faults().silent = true;
  EXPECT_EQ(r.answer("ST"), "");
  const std::string noise = r.garbage(100);
  EXPECT_EQ(noise.size(), 100u);
  EXPECT_EQ(noise.find('\r'), std::string::npos);
  EXPECT_EQ(noise.find("BC"), std::string::npos);
}

// A page opens the squelch on the first channel, sounds its tones in turn, then the channel's
// own sound until the opening ends; tuning away ends it early.
TEST(SimRadio, PageSoundsItsTonesThenTheCallWithTheSquelchOpen) {
  using namespace std::chrono_literals;
  Radio r(Model::BC785, 19200, 4);
  r.set_auto_stops(false);
  const auto now = Radio::Clock::time_point{} + 1h;
  const auto start = now + 30ms;
  r.page({{853.2, 800}, {1083.0, 2500}}, 4000, start, now);
  EXPECT_TRUE(r.squelch_open());
  EXPECT_EQ(r.current_channel(), 0u);
  EXPECT_EQ(r.sound_hz(now), 853.2);  // the squelch is open already: tone A
  EXPECT_EQ(r.sound_hz(start + 799ms), 853.2);
  EXPECT_EQ(r.sound_hz(start + 800ms), 1083.0);
  EXPECT_EQ(r.sound_hz(start + 3299ms), 1083.0);
  EXPECT_EQ(r.sound_hz(start + 3300ms), 400.0);
  ASSERT_TRUE(r.tick(start + 7299ms).has_value());
  EXPECT_TRUE(r.squelch_open());
  r.step_display();
  EXPECT_TRUE(r.squelch_open());
  EXPECT_FALSE(r.tick(start + 7300ms).has_value());
  EXPECT_FALSE(r.squelch_open());

  r.page({{1000, 2000}}, 4000, start, now);
  EXPECT_EQ(r.sound_hz(start + 1999ms), 1000.0);
  EXPECT_EQ(r.sound_hz(start + 2000ms), 400.0);
  r.answer("RF01461000");  // tuned away: no more page
  EXPECT_EQ(r.sound_hz(start + 10ms), 400.0);
  EXPECT_FALSE(r.tick(start + 10ms).has_value());
}

}  // namespace
}  // namespace quillon::sim
