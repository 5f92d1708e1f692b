#include <gtest/gtest.h>

#include <ctime>

#include "netdata/status_frame.hpp"
#include "netdata_support.hpp"

namespace quillon {
namespace {

std::vector<std::string> lines_of(const std::string& frame) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const auto p = frame.find("\r\n", start);
    out.push_back(frame.substr(start, p == std::string::npos ? std::string::npos : p - start));
    if (p == std::string::npos) return out;
    start = p + 2;
  }
}

// The wall-clock instant of a local time of day (today's date does not matter).
WallClock::time_point local_time(int h, int m, int s, int ms) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  tm.tm_hour = h;
  tm.tm_min = m;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return WallClock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(ms);
}

struct FrameTest : ::testing::Test {
  void SetUp() override {
    t.server.settings.savereg("serverID1", "Harbour Westx");
    t.server.start();
    // Only the frame task and the sends change the channel's values here.
    for (ui::Timer* tm : {&f().Timer4, &f().Timer5, &f().Timer6}) tm->set_timer_enabled(false);
    t.loop.set_wall_time(local_time(13, 45, 30, 250));
    f().text5[0].set_text("LCD1 146.5200\r\nLCD2 NFM");
    f().Text6[0].set_text("Step: 12.5\r\nSquelch: 3\r\nSignal: 2\r\nMode: NFM\r\nRx: 0\r\nAtt: OFF\r\nLink: 0\r\nA: 0\r\nB: 0\r\nNGX=0");
    f().Combo10[0].set_list_index(1);
    f().audiostatus = "running";
    f().codecstatus = "codec ok";
    f().ipstatus = "serving";
    f().numcom = {2, 0, 1, 0};
    t.fakes.server[0].clients = 3;
  }
  Frmserver& f() { return t.f(); }
  test::TestServer t;
};

TEST_F(FrameTest, ChannelOneLayoutLineByLine) {
  t.loop.advance(Millis(25));
  const std::vector<std::string> expected{
      "LCD1 146.5200", "LCD2 NFMStep: 12.5", "Squelch: 3", "Signal: 2", "Mode: NFM", "Rx: 0", "Att: OFF", "Link: 0", "A: 0",
      "B: 0", "NGX=0",
      "frame=0 49530.27 13:45:30",  // 25 ms after 13:45:30.250
      "delay1=XXX", "readout1=1000", "port1=1010", "port2=", "port3=1011", "audiostat:running", "codecstat:codec ok",
      "ipstat:serving", "NUMCOM1:2", "NUMCOM2:0", "NUMCOM3:1", "NUMCOM4:0", "NetsendT1:1000", "NetsendT2:2000",
      "NetsendT3:1000", "NetsendT4:1000", "sample011025", "clients3", "maxclients6", "VER:1.30",
      "SITENAME:Harbour West", "UDP:False"};
  EXPECT_EQ(lines_of(f().statusframe[0]), expected);
  EXPECT_EQ(f().Text7.text(), f().statusframe[0]);
  const std::string& head = f().Text8[0].text();
  EXPECT_TRUE(head.ends_with("\r\nframe=0 49530.27 13:45:30")) << head;
  EXPECT_EQ(f().statusframe[0].substr(0, head.size()), head);
  EXPECT_EQ(f().Text9[0].text(), "1000");
  EXPECT_EQ(f().statusframe[0].back(), 'e');  // no line end after the last line
}

TEST_F(FrameTest, OtherChannelsShareAllButTheirOwnLines) {
  f().Check1[1].set_value(1);  // channel 3 on
  f().Timer16.set_timer_enabled(false);
  f().Timer17.set_timer_enabled(false);
  f().Combo10[2].set_list_index(3);
  t.fakes.server[2].clients = 1;
  f().Option1[0].set_value(true);
  t.loop.advance(Millis(25));
  auto all = lines_of(f().statusframe[2]);
  auto at = std::find_if(all.begin(), all.end(), [](const std::string& l) { return l.rfind("frame=0 ", 0) == 0; });
  ASSERT_NE(at, all.end());
  // From the "frame=" line on; the display text and status lines come before it.
  std::vector<std::string> lines(at - 1, all.end());
  ASSERT_EQ(lines.size(), 24u);
  EXPECT_EQ(lines[2], "delay1=XXX");
  EXPECT_EQ(lines[3], "readout1=1000");
  EXPECT_EQ(lines[4], "port1=1010");
  EXPECT_EQ(lines[6], "port3=1011");
  EXPECT_EQ(lines[10], "NUMCOM1:2");
  EXPECT_EQ(lines[12], "NUMCOM3:1");
  EXPECT_EQ(lines[15], "NetsendT2:2000");
  EXPECT_EQ(lines[18], "sample044100");
  EXPECT_EQ(lines[19], "clients1");
  EXPECT_EQ(lines[20], "maxclients6");
  EXPECT_EQ(lines[23], "UDP:True");
  // Channel 1's display field shows only channel 1's frame.
  EXPECT_EQ(f().Text7.text(), f().statusframe[0]);
  EXPECT_EQ(f().Text9[2].text(), "1000");
}

TEST_F(FrameTest, UnreadableValuesLeaveTheirLinesOut) {
  f().Combo10[0].set_list_index(-1);
  f().ipserv[0] = nullptr;  // the audio server is not available
  t.loop.advance(Millis(25));
  auto lines = lines_of(f().statusframe[0]);
  EXPECT_EQ(lines[lines.size() - 4], "sample0");
  EXPECT_EQ(lines[lines.size() - 3], "VER:1.30");
  for (const auto& l : lines) EXPECT_EQ(l.rfind("clients", 0), std::string::npos) << l;
  for (const auto& l : lines) EXPECT_EQ(l.rfind("maxclients", 0), std::string::npos) << l;
}

TEST_F(FrameTest, CounterAndTimeFollowTheSends) {
  t.loop.advance(Millis(1030));
  EXPECT_EQ(lines_of(f().statusframe[0])[11], "frame=1 49531.27 13:45:31");
  // The frame task ticks every 25 ms from start-up: the next one is 20 ms after this instant.
  t.loop.set_wall_time(local_time(0, 0, 0, 0));
  t.loop.advance(Millis(25));
  EXPECT_EQ(lines_of(f().statusframe[0])[11], "frame=1 0.02 00:00:00");
  t.loop.set_wall_time(local_time(23, 59, 59, 970));
  t.loop.advance(Millis(25));
  EXPECT_EQ(lines_of(f().statusframe[0])[11], "frame=1 86399.99 23:59:59");
}

TEST_F(FrameTest, ChannelOneClientInSlotTwoSeesTheSlotAfterUdpLine) {
  test::connect_client(t, 1);
  test::connect_client(t, 1);
  t.loop.advance(Millis(1000));
  const std::string& got = test::sock(t, 1, 2).sent.at(0);
  EXPECT_TRUE(got.ends_with("\r\nUDP:False*2")) << got;
}

TEST(SecondsText, SevenSignificantDigitsNoTrailingZeros) {
  EXPECT_EQ(netdata::seconds_text(0.0f), "0");
  EXPECT_EQ(netdata::seconds_text(0.5f), "0.5");
  EXPECT_EQ(netdata::seconds_text(43200.0f), "43200");
  EXPECT_EQ(netdata::seconds_text(12345.678f), "12345.68");
  EXPECT_EQ(netdata::seconds_text(3599.1f), "3599.1");
  EXPECT_EQ(netdata::seconds_text(86399.99f), "86399.99");
  EXPECT_EQ(netdata::seconds_text(86399.999f), "86400");  // rounded to seven digits
  EXPECT_EQ(netdata::seconds_text(86399.9f), "86399.9");
  EXPECT_EQ(netdata::seconds_text(1.5e-5f), "0.000015");
  EXPECT_EQ(netdata::seconds_text(1.2345678e-5f), "0.00001234568");  // still seven digits
}

}  // namespace
}  // namespace quillon
