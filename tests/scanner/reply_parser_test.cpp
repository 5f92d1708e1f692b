#include <gtest/gtest.h>

#include "scanner/reply_parser.hpp"

namespace quillon::scanner {
namespace {

std::optional<std::string> field(const ReplyReading& r, int f) { return r.fields[static_cast<std::size_t>(f - 1)]; }

TEST(ReplyParser, DisplayFrameWaitsForItsLastLine) {
  EXPECT_FALSE(read_reply(1, "LCD1 [x][y]\rLCD2 [x][y]\r").ends_exchange);
  EXPECT_FALSE(read_reply(1, "LCD1 [x]\rLCD4 [x][").ends_exchange);  // last line not complete
  const auto r = read_reply(1, "LCD1 [x]\rLCD4 [x][y]\r");
  EXPECT_TRUE(r.ends_exchange);
  EXPECT_TRUE(r.display_frame);
}

TEST(ReplyParser, StepEndsAtTheFirstTextAndReadsUpToK) {
  // The step text is the k - s - 3 characters from the first "ST".
  EXPECT_EQ(field(read_reply(2, "ST 12.5K\r"), 1), "STEP$=ST 1");
  EXPECT_EQ(field(read_reply(2, "xxST 25K\r"), 1), "STEP$=ST");
  // No "K", or a "K" too early: field unchanged, exchange over anyway.
  auto none = read_reply(2, "ST\r");
  EXPECT_TRUE(none.ends_exchange);
  EXPECT_FALSE(field(none, 1));
  EXPECT_FALSE(field(read_reply(2, "K ST 5K\r"), 1));
  // An incomplete first chunk ends the exchange without writing.
  auto partial = read_reply(2, "ST 12");
  EXPECT_TRUE(partial.ends_exchange);
  EXPECT_FALSE(field(partial, 1));
  // A complete reply without "ST" writes nothing.
  EXPECT_FALSE(field(read_reply(2, "NG\r"), 1));
}

TEST(ReplyParser, SquelchKeepsTheWholeReply) {
  EXPECT_EQ(field(read_reply(10, "+\r"), 3), "SQSTAT$=+\r");
  EXPECT_FALSE(read_reply(10, "+").ends_exchange);
}

TEST(ReplyParser, SignalLevelIsTheNumberAtPositionsTwoToFour) {
  EXPECT_EQ(field(read_reply(3, "S12\r"), 2), "SIGLVL$=12");
  EXPECT_EQ(field(read_reply(3, "SXY\r"), 2), "SIGLVL$=0");
  EXPECT_EQ(field(read_reply(3, "S05\r"), 2), "SIGLVL$=5");
  EXPECT_EQ(field(read_reply(3, "S182 F08594375\r"), 2), "SIGLVL$=182");
  EXPECT_EQ(field(read_reply(3, "\r"), 2), "SIGLVL$=0");
  EXPECT_FALSE(read_reply(3, "S18").ends_exchange);
}

TEST(ReplyParser, ModeTakesPositionsThreeAndFourUnlessNg) {
  EXPECT_EQ(field(read_reply(5, "MD01\r"), 4), "STATUS$=01");
  EXPECT_EQ(field(read_reply(5, "NG\r"), 4), "STATUS$=NG");
  EXPECT_EQ(field(read_reply(5, "MDNG\r"), 4), "STATUS$=NG");
  EXPECT_EQ(field(read_reply(5, "M\r"), 4), "STATUS$=");
}

TEST(ReplyParser, ReceiveModeLaterRulesWin) {
  EXPECT_EQ(field(read_reply(6, "RM WFM\r"), 5), "RMODE$=WF");
  EXPECT_EQ(field(read_reply(6, "RM FM\r"), 5), "RMODE$=FM");
  EXPECT_EQ(field(read_reply(6, "RM NFM\r"), 5), "RMODE$=NF");
  EXPECT_EQ(field(read_reply(6, "RM WFM AM\r"), 5), "RMODE$=AM");
  EXPECT_FALSE(field(read_reply(6, "RM USB\r"), 5));
  auto no_rm = read_reply(6, " AM\r");
  EXPECT_FALSE(field(no_rm, 5));
  EXPECT_TRUE(no_rm.ends_exchange);
}

TEST(ReplyParser, AttenuatorOffWinsOverOn) {
  EXPECT_EQ(field(read_reply(7, "ATN\r"), 6), "ATTMD$=ATN");
  EXPECT_EQ(field(read_reply(7, "ATF\r"), 6), "ATTMD$=ATF");
  EXPECT_EQ(field(read_reply(7, "ATNATF\r"), 6), "ATTMD$=ATF");
  EXPECT_FALSE(field(read_reply(7, "ERR\r"), 6));
}

TEST(ReplyParser, LinkFieldsKeepTheWholeReply) {
  EXPECT_EQ(field(read_reply(8, "CS012\r"), 7), "CS012\r");
  EXPECT_FALSE(field(read_reply(8, "ERR\r"), 7));
  EXPECT_TRUE(read_reply(8, "ERR\r").ends_exchange);
  EXPECT_EQ(field(read_reply(9, "DLN\r"), 8), "DLN\r");
  EXPECT_FALSE(field(read_reply(9, "OK\r"), 8));
}

TEST(ReplyParser, UnsolicitedTextTakesThreeCharactersAfterW) {
  EXPECT_EQ(field(read_reply(0, "W107 F08680875\r"), 9), "107");
  EXPECT_EQ(field(read_reply(0, "xW1\r"), 9), "1\r");
  EXPECT_EQ(field(read_reply(0, "W\r"), 9), "\r");
  auto no_w = read_reply(0, "OK\r");
  EXPECT_FALSE(field(no_w, 9));
  EXPECT_TRUE(no_w.ends_exchange);
  EXPECT_FALSE(read_reply(0, "W107").ends_exchange);
}

TEST(ReplyParser, MatchingIsCaseSensitive) {
  EXPECT_FALSE(field(read_reply(7, "atn\r"), 6));
  EXPECT_FALSE(read_reply(1, "lcd4\r").ends_exchange);
}

TEST(DisplayFrame, CutFromLcd1ToItsLimit) {
  EXPECT_EQ(cut_display_frame(std::string(20, 'e') + "LCD1 [a]\rLCD4 [b]\r"), "LCD1 [a]\rLCD4 [b]\r");
  const std::string frame = "LCD1" + std::string(196, 'x');
  const std::string cut = cut_display_frame("junk" + frame);
  EXPECT_EQ(cut.size(), 167u);
  EXPECT_EQ(cut, frame.substr(0, 167));
  EXPECT_EQ(cut_display_frame("no marker LCD4\r"), "no marker LCD4\r");
  EXPECT_EQ(cut_display_frame("LCD1 LCD1 again"), "LCD1 LCD1 again");
}

}  // namespace
}  // namespace quillon::scanner
