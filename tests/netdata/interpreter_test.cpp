#include <gtest/gtest.h>

#include "netdata/interpreter.hpp"
#include "netdata_support.hpp"

namespace quillon {
namespace {

using test::client_sends;
using test::connect_client;
using test::count_of;
using test::sock;

// A started server with a client on channel 1 (slot 1) and the serial ports of channels 1..3
// open; the interpreter runs every 25 ms.
struct Interp : ::testing::Test {
  void SetUp() override {
    t.server.start();
    for (int k = 1; k <= 3; ++k) test::open_port(t, k);
    f().Timer6.set_timer_enabled(false);  // client counts are set by the tests
    f().Timer4.set_timer_enabled(false);  // the radio sees only what clients send
    f().Timer5.set_timer_enabled(false);
    f().Command12[0].on_click = [this]() -> Task {
      applied.push_back(f().Combo10[0].list_index());
      return completed_task();
    };
    ASSERT_EQ(connect_client(t, 1), 1);
  }
  Frmserver& f() { return t.f(); }
  void tick() { t.loop.advance(Millis(25)); }
  const std::vector<std::string>& radio(int k) { return t.fakes.ports[static_cast<std::size_t>(k - 1)].written; }
  const std::vector<std::string>& sent(int k, int slot) { return sock(t, k, slot).sent; }
  long version_replies(int slot) { return count_of(sent(1, slot), "?VER=1.21"); }

  test::TestServer t;
  std::vector<int> applied;
};

TEST_F(Interp, ScannerCommandGoesToTheRadioWithoutItsHash) {
  client_sends(t, 1, 1, "ST#");
  tick();
  EXPECT_EQ(count_of(radio(1), "ST\r"), 1);
  EXPECT_EQ(f().txtoutput[0].text(), "");
  EXPECT_EQ(f().Text1[0].text(), "ST");
  // The same command again reaches the radio again.
  client_sends(t, 1, 1, "ST#");
  tick();
  EXPECT_EQ(count_of(radio(1), "ST\r"), 2);
}

TEST_F(Interp, ClearAnywhereEmptiesBothBuffersAndSendsNothing) {
  f().Text1[0].set_text("PENDING");
  client_sends(t, 1, 1, "abcCLR#def#");
  tick();
  EXPECT_EQ(f().txtoutput[0].text(), "");
  EXPECT_EQ(f().Text1[0].text(), "");
  for (const auto& w : radio(1)) EXPECT_EQ(w.find("CLR"), std::string::npos) << w;
}

TEST_F(Interp, TextWithoutHashOrKeywordStaysAndIsNeverSent) {
  test::connect_client(t, 2);
  client_sends(t, 2, 1, "S");  // first part of a command split over two arrivals
  for (int i = 0; i < 8; ++i) tick();
  EXPECT_EQ(f().txtoutput[1].text(), "S");
  client_sends(t, 2, 1, "T");  // replaces it; still no "#"
  tick();
  EXPECT_EQ(f().txtoutput[1].text(), "T");
  EXPECT_EQ(count_of(radio(2), "S\r") + count_of(radio(2), "T\r"), 0);
}

TEST_F(Interp, VersionQueryIsAnsweredToChannelOneClientsOnly) {
  ASSERT_EQ(connect_client(t, 1), 2);
  ASSERT_EQ(connect_client(t, 2), 1);
  sock(t, 1, 2).st = sockstate::closing;  // not connected: not answered
  client_sends(t, 2, 1, "GET VER?");
  tick();
  EXPECT_EQ(version_replies(1), 1);
  EXPECT_EQ(version_replies(2), 0);
  EXPECT_TRUE(sent(2, 1).empty());
  // One answer per query received: later ticks stay silent, the same query again is answered.
  for (int i = 0; i < 80; ++i) tick();
  EXPECT_EQ(version_replies(1), 1);
  client_sends(t, 2, 1, "GET VER?");
  for (int i = 0; i < 4; ++i) tick();
  EXPECT_EQ(version_replies(1), 2);
  client_sends(t, 2, 1, "x");
  tick();
  EXPECT_EQ(version_replies(1), 2);
}

TEST_F(Interp, VersionQueryWithHashIsAnsweredThenPassedToTheRadio) {
  connect_client(t, 2);
  client_sends(t, 2, 1, "GET VER?#");
  tick();
  EXPECT_EQ(version_replies(1), 1);
  EXPECT_EQ(count_of(radio(2), "GET VER?\r"), 1);
  EXPECT_EQ(f().txtoutput[1].text(), "");
  tick();
  EXPECT_EQ(version_replies(1), 1);
}

TEST_F(Interp, SendPeriodOfChannelOne) {
  struct Case {
    const char* text;
    int period;
  };
  for (const Case& c : {Case{"SET DELAY7A=500#", 500}, Case{"SET DELAY7A=50#", 100}, Case{"SET DELAY7A=99999#", 2000},
                        Case{"SET DELAY7A=#", 100}, Case{"SET DELAY7A=1500", 150}, Case{"SET DELAY7A=500", 100},
                        Case{"SET DELAY7A=1999.9#", 1999}, Case{"SET DELAY7A=abc#", 100}, Case{"SET DELAY7A=", 100},
                        Case{"SET DELAY7A=2000#", 2000}, Case{"SET DELAY7A=100#", 100}}) {
    f().Timer30[0].set_interval(1000);
    client_sends(t, 1, 1, c.text);
    tick();
    EXPECT_EQ(f().Timer30[0].interval(), c.period) << c.text;
    EXPECT_EQ(f().txtoutput[0].text(), "") << c.text;
  }
  // The final "#" was the value's last character, not a scanner command.
  EXPECT_EQ(count_of(radio(1), "SET DELAY7A=500\r"), 0);
}

TEST_F(Interp, SettingsFromAnyChannelActOnChannelOne) {
  connect_client(t, 3);
  client_sends(t, 3, 1, "SET DELAY7A=700#");
  tick();
  EXPECT_EQ(f().Timer30[0].interval(), 700);
  EXPECT_EQ(f().Timer30[2].interval(), 1000);
  tick();
  EXPECT_EQ(f().Text9[0].text(), "700");  // shown by the frame tick

  f().numcom = {1, 0, 0, 0};
  const int channel3_rate = f().Combo10[2].list_index();
  client_sends(t, 3, 1, "SET AUDIO1=2");
  tick();
  EXPECT_EQ(f().Combo10[0].list_index(), 2);
  EXPECT_EQ(f().Combo10[2].list_index(), channel3_rate);
  EXPECT_EQ(applied, std::vector<int>{2});
  EXPECT_EQ(f().txtoutput[2].text(), "");
}

TEST_F(Interp, SampleRateOnlyWithExactlyOneChannelOneClient) {
  f().numcom = {2, 0, 0, 0};
  const int rate_before = f().Combo10[0].list_index();
  client_sends(t, 1, 1, "SET AUDIO1=2#");
  tick();
  // Not a setting now; it ends in "#", so the radio gets it.
  EXPECT_TRUE(applied.empty());
  EXPECT_EQ(f().Combo10[0].list_index(), rate_before);
  EXPECT_EQ(count_of(radio(1), "SET AUDIO1=2\r"), 1);

  f().numcom = {1, 0, 0, 0};
  f().Combo10[0].set_list_index(1);
  for (const char* bad : {"SET AUDIO1=2#", "SET AUDIO1=9", "SET AUDIO1=", "SET AUDIO1=99999"}) {
    client_sends(t, 1, 1, bad);
    tick();
    EXPECT_EQ(f().Combo10[0].list_index(), 1) << bad;  // selection kept
    EXPECT_EQ(f().txtoutput[0].text(), "") << bad;
  }
  EXPECT_EQ(applied.size(), 4u);  // the apply action ran each time
  EXPECT_EQ(count_of(radio(1), "SET AUDIO1=2\r"), 1);
  client_sends(t, 1, 1, "SET AUDIO1= 3 ");
  tick();
  EXPECT_EQ(f().Combo10[0].list_index(), 3);
}

TEST_F(Interp, IgnoredSettingsAreTakenAndEmptied) {
  for (const char* s : {"SET DELAY1=5x", "SET DELAY2=7x", "SET TIMER1=9x", "SET DELAY1=5#", "SET TIMER1=1#"}) {
    client_sends(t, 1, 1, s);
    tick();
    EXPECT_EQ(f().txtoutput[0].text(), "") << s;
  }
  EXPECT_EQ(f().Timer30[0].interval(), 1000);
  // "SET TIMER1=" is tested after the scanner command step: with a final "#" it goes to the radio.
  EXPECT_EQ(count_of(radio(1), "SET TIMER1=1\r"), 1);
  EXPECT_EQ(count_of(radio(1), "SET DELAY1=5\r"), 0);
  // Keywords are case-sensitive.
  client_sends(t, 1, 1, "set delay7a=500#");
  tick();
  EXPECT_EQ(f().Timer30[0].interval(), 1000);
  EXPECT_EQ(count_of(radio(1), "set delay7a=500\r"), 1);
}

TEST_F(Interp, ClosedRadioPortDropsTheCommandQuietly) {
  t.fakes.ports[0].set_port_open(false);
  client_sends(t, 1, 1, "ST#");
  tick();
  EXPECT_EQ(f().txtoutput[0].text(), "");
  EXPECT_EQ(f().Text1[0].text(), "ST");
}

TEST(Int16Value, ReadsWholeNumbersOnly) {
  EXPECT_EQ(netdata::parse_int16("3"), 3);
  EXPECT_EQ(netdata::parse_int16(" -2 "), -2);
  EXPECT_EQ(netdata::parse_int16("2.5"), 3);  // as every typed number: halves away from zero
  EXPECT_EQ(netdata::parse_int16("1.6"), 2);
  EXPECT_EQ(netdata::parse_int16("-2.5"), -3);
  EXPECT_EQ(netdata::parse_int16("32767"), 32767);
  for (const char* bad : {"", " ", "2#", "x", "1e", "-", "."}) EXPECT_THROW(netdata::parse_int16(bad), Error) << bad;
  try {
    netdata::parse_int16("32768");
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), 6);
  }
}

}  // namespace
}  // namespace quillon
