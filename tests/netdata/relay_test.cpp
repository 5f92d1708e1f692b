#include <gtest/gtest.h>

#include "netdata_support.hpp"

namespace quillon {
namespace {

using test::client_sends;
using test::connect_client;
using test::count_of;
using test::sock;

struct RelayTest : ::testing::Test {
  void SetUp() override {
    t.server.start();
    f().Timer6.set_timer_enabled(false);
  }
  Frmserver& f() { return t.f(); }
  test::TestServer t;
};

TEST_F(RelayTest, CommandOfAChannelThreeClientReachesItsRadioWithOneCarriageReturn) {
  auto& radio3 = test::open_port(t, 3).written;
  auto& radio1 = test::open_port(t, 1).written;
  connect_client(t, 3);
  client_sends(t, 3, 1, "ST#");
  t.loop.advance(Millis(25));
  EXPECT_EQ(count_of(radio3, "ST\r"), 1);
  EXPECT_EQ(count_of(radio1, "ST\r"), 0);
  // An empty output buffer writes nothing.
  const auto n = radio3.size();
  f().Text1[2].set_text("");
  EXPECT_EQ(radio3.size(), n);
}

TEST_F(RelayTest, ChannelOneFramesCarryTheSlotNumberOthersGoBare) {
  // Clients in slots 1 and 3 of channel 1 (slot 2 hung up), and two on channel 2.
  connect_client(t, 1);
  connect_client(t, 1);
  connect_client(t, 1);
  sock(t, 1, 2).st = sockstate::closing;
  connect_client(t, 2);
  connect_client(t, 2);
  f().statusframe[0] = "ONE";
  f().statusframe[1] = "TWO";
  f().Timer7[0].set_timer_enabled(false);  // keep the frames as set here
  t.loop.advance(Millis(1000));
  EXPECT_EQ(sock(t, 1, 1).sent, std::vector<std::string>{"ONE*1"});
  EXPECT_EQ(sock(t, 1, 3).sent, std::vector<std::string>{"ONE*3"});
  EXPECT_TRUE(sock(t, 1, 2).sent.empty());
  EXPECT_EQ(f().Text10.text(), "ONE");
  t.loop.advance(Millis(1000));  // channel 2 sends every 2000 ms
  EXPECT_EQ(sock(t, 2, 1).sent, std::vector<std::string>{"TWO"});
  EXPECT_EQ(sock(t, 2, 2).sent, std::vector<std::string>{"TWO"});
  EXPECT_EQ(sock(t, 1, 1).sent.size(), 2u);
}

TEST_F(RelayTest, FrameCounterRunsOneToHundredAndWraps) {
  EXPECT_EQ(f().framecount[0], 0);
  t.loop.advance(Millis(1000));
  EXPECT_EQ(f().framecount[0], 1);
  EXPECT_EQ(f().framecount[1], 0);
  t.loop.advance(Millis(99 * 1000));
  EXPECT_EQ(f().framecount[0], 100);
  EXPECT_EQ(f().framecount[1], 50);
  t.loop.advance(Millis(1000));
  EXPECT_EQ(f().framecount[0], 1);
  EXPECT_EQ(f().framecount[2], 1);
}

TEST_F(RelayTest, NewSendPeriodIsCountedFromTheCommand) {
  connect_client(t, 1);
  const auto& sent = sock(t, 1, 1).sent;
  client_sends(t, 1, 1, "SET DELAY7A=2000#");
  t.loop.advance(Millis(2500));
  const auto n = sent.size();
  client_sends(t, 1, 1, "SET DELAY7A=100#");
  t.loop.advance(Millis(130));  // the interpreter's next tick, then one new period
  EXPECT_EQ(sent.size(), n + 1);
  t.loop.advance(Millis(1000));
  EXPECT_EQ(sent.size(), n + 11);
}

TEST_F(RelayTest, SwitchedOffChannelKeepsSendingItsLastFrame) {
  f().Check1[0].set_value(1);  // channel 2 on: its frame task runs
  t.loop.advance(Millis(50));
  const std::string last = f().statusframe[1];
  EXPECT_NE(last.find("readout1=2000"), std::string::npos);
  f().Check1[0].set_value(0);
  t.loop.advance(Millis(3000));
  EXPECT_EQ(f().statusframe[1], last);
  // A client still on the channel gets that frame at each send.
  connect_client(t, 2);
  t.loop.advance(Millis(2000));
  ASSERT_EQ(sock(t, 2, 1).sent.size(), 1u);
  EXPECT_EQ(sock(t, 2, 1).sent[0], last);
}

TEST_F(RelayTest, NeverBuiltFrameIsSentEmpty) {
  connect_client(t, 4);
  t.loop.advance(Millis(1000));
  EXPECT_EQ(sock(t, 4, 1).sent, std::vector<std::string>{""});
}

}  // namespace
}  // namespace quillon
