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

}  // namespace
}  // namespace quillon::sim
