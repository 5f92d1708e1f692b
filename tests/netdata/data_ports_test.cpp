#include <gtest/gtest.h>

#include "netdata/data_ports.hpp"
#include "netdata_support.hpp"

namespace quillon {
namespace {

using test::connect_client;
using test::sock;

TEST(InitIp, DefaultsWithNoSettings) {
  test::TestServer t;
  t.server.start();
  auto& f = t.f();
  EXPECT_EQ(f.portip1[0].text(), "1010");
  EXPECT_EQ(f.portip1[1].text(), "");
  EXPECT_EQ(f.portip1[2].text(), "1011");
  EXPECT_EQ(f.portip1[4].text(), "1012");
  EXPECT_EQ(f.portip1[5].text(), "1013");
  EXPECT_EQ(f.portip1[6].text(), "1014");
  EXPECT_EQ(f.portip1[7].text(), "1015");
  EXPECT_EQ(f.portip1[8].text(), "1016");
  EXPECT_EQ(f.portip1[9].text(), "1017");
  EXPECT_TRUE(f.Option1[1].value());
  EXPECT_FALSE(f.Option1[0].value());

  // Channel 1 listens; channels 2 to 4 are switched off: closed, but with their port set.
  EXPECT_EQ(sock(t, 1, 0).state(), sockstate::listening);
  EXPECT_EQ(sock(t, 1, 0).local_port(), 1010);
  for (int k = 2; k <= 4; ++k) {
    EXPECT_EQ(sock(t, k, 0).state(), sockstate::closed) << k;
    EXPECT_EQ(sock(t, k, 0).local_port(), 1010 + 2 * (k - 1)) << k;
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(sock(t, k, i).state(), sockstate::closed);
    EXPECT_FALSE(f.winsock[static_cast<std::size_t>(k - 1)]->exists(5));
  }
  // Audio servers: ports and TCP transport; channel 1's capture stopped.
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(t.fakes.server[k].port(), std::to_string(1011 + 2 * k));
    EXPECT_EQ(t.fakes.server[k].proto(), 0);
  }
  EXPECT_EQ(t.fakes.capture[0].activations.front(), false);
}

TEST(InitIp, PortRangeAndUnreadablePorts) {
  test::TestServer t;
  auto& s = t.server.settings;
  s.savereg("tcpport1", "80x");      // below the range
  s.savereg("tcpport3", "65001x");   // above
  s.savereg("tcpport4", "81x");      // both limits are used as stored
  s.savereg("tcpport5", "65000x");
  s.savereg("tcpport6", "portx");    // not a number
  s.savereg("tcpport7", "2000.9x");  // made whole as on Apply: the nearest port
  s.savereg("tcpport8", "-5x");
  t.server.start();
  auto& f = t.f();
  EXPECT_EQ(f.portip1[0].text(), "1010");
  EXPECT_EQ(f.portip1[2].text(), "1011");
  EXPECT_EQ(f.portip1[4].text(), "81");
  EXPECT_EQ(f.portip1[5].text(), "65000");
  EXPECT_EQ(f.portip1[6].text(), "1014");
  EXPECT_EQ(f.portip1[7].text(), "2001");
  EXPECT_EQ(f.portip1[8].text(), "1016");
  EXPECT_EQ(sock(t, 1, 0).local_port(), 1010);
  EXPECT_EQ(sock(t, 2, 0).local_port(), 81);
  EXPECT_EQ(t.fakes.server[0].port(), "1011");
  EXPECT_EQ(t.fakes.server[1].port(), "65000");
}

TEST(InitIp, UdpTransportForAllAudioServers) {
  test::TestServer t;
  t.server.settings.savereg("udppacket", "Truex");
  t.server.start();
  EXPECT_TRUE(t.f().Option1[0].value());
  for (auto& s : t.fakes.server) EXPECT_EQ(s.proto(), 1);

  test::TestServer u;
  u.server.settings.savereg("udppacket", "truex");  // exact comparison
  u.server.start();
  EXPECT_TRUE(u.f().Option1[1].value());
  for (auto& s : u.fakes.server) EXPECT_EQ(s.proto(), 0);
}

TEST(InitIp, PortInUseSkipsOnlyTheListen) {
  test::TestServer t;
  sock(t, 1, 0).port_in_use = true;
  t.server.start();
  EXPECT_EQ(sock(t, 1, 0).state(), sockstate::closed);
  EXPECT_EQ(t.f().portip1[4].text(), "1012");
  EXPECT_TRUE(t.f().Winsock1.exists(4));
  EXPECT_EQ(t.fakes.server[3].port(), "1017");
}

TEST(InitIp, ChannelSwitchedOnListensOnItsPort) {
  test::TestServer t;
  // Channel 3's switch is on when init_ip runs (restored earlier in the start-up).
  t.server.settings.savereg("channel3ena", "1x");
  t.f().Check1[1].set_value(1);
  t.server.start();
  EXPECT_EQ(sock(t, 3, 0).state(), sockstate::listening);
  EXPECT_EQ(sock(t, 3, 0).local_port(), 1014);
  EXPECT_EQ(sock(t, 2, 0).state(), sockstate::closed);
}

TEST(Slots, FifthClientIsRefusedAndGetsTheFreedSlotLater) {
  test::TestServer t;
  t.server.start();
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(connect_client(t, 1), i);
  EXPECT_EQ(t.server.data.findfreeindexwinsock(1), std::nullopt);
  EXPECT_EQ(connect_client(t, 1), 0);  // nothing accepted it
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(sock(t, 1, i).accepted.size(), 1u);

  // The client of slot 3 hangs up, then the one of slot 2: the lowest is taken first.
  sock(t, 1, 3).st = sockstate::closing;
  sock(t, 1, 2).st = sockstate::error;
  EXPECT_EQ(t.server.data.findfreeindexwinsock(1), 2);
  EXPECT_EQ(connect_client(t, 1), 2);
  EXPECT_EQ(sock(t, 1, 2).port, 0);
  EXPECT_EQ(connect_client(t, 1), 3);
  EXPECT_EQ(connect_client(t, 1), 0);
  // The listener kept listening throughout.
  EXPECT_EQ(sock(t, 1, 0).state(), sockstate::listening);
}

TEST(Slots, ChannelsHaveTheirOwnSlotsAndRequestsOnSlotsAreIgnored) {
  test::TestServer t;
  t.server.start();
  EXPECT_EQ(connect_client(t, 1), 1);
  EXPECT_EQ(connect_client(t, 4), 1);
  EXPECT_EQ(t.server.data.findfreeindexwinsock(4), 2);
  // A request raised on a slot instead of the listener is not handled.
  sock(t, 2, 3).on_connection_request(77);
  for (int i = 1; i <= 4; ++i) EXPECT_TRUE(sock(t, 2, i).accepted.empty());
}

TEST(Slots, LastArrivalReplacesTheReceiveBuffer) {
  test::TestServer t;
  t.server.start();
  connect_client(t, 2);
  connect_client(t, 2);
  test::client_sends(t, 2, 1, "ST");
  test::client_sends(t, 2, 2, "SQ");
  EXPECT_EQ(t.f().txtoutput[1].text(), "SQ");
  EXPECT_EQ(t.f().txtoutput[0].text(), "");
  EXPECT_TRUE(sock(t, 2, 1).inbox.empty());  // all waiting data was fetched
}

TEST(Upkeep, ClosesHungUpSlotsCountsClientsAndRestartsAFailedListener) {
  test::TestServer t;
  t.server.start();
  auto& f = t.f();
  connect_client(t, 1);
  connect_client(t, 1);
  connect_client(t, 1);
  connect_client(t, 3);
  t.server.data.slot_upkeep();
  EXPECT_EQ(f.numcom, (std::array<int, 4>{3, 0, 1, 0}));

  sock(t, 1, 2).st = sockstate::closing;  // the peer hung up
  EXPECT_EQ(f.numcom[0], 3);              // counted again only at the upkeep
  t.server.data.slot_upkeep();
  EXPECT_EQ(sock(t, 1, 2).state(), sockstate::closed);
  EXPECT_EQ(f.numcom[0], 2);

  sock(t, 1, 0).st = sockstate::error;
  sock(t, 3, 1).st = sockstate::error;
  t.server.data.slot_upkeep();
  EXPECT_EQ(sock(t, 1, 0).state(), sockstate::listening);
  EXPECT_EQ(sock(t, 1, 0).local_port(), 1010);
  EXPECT_EQ(sock(t, 3, 1).state(), sockstate::closed);
  EXPECT_EQ(f.numcom[2], 0);
  // A switched-off channel's closed listener is left closed.
  EXPECT_EQ(sock(t, 2, 0).state(), sockstate::closed);
}

TEST(StatePanel, ShowsListenerAndFourSlotsPerChannel) {
  test::TestServer t;
  t.server.start();
  auto& f = t.f();
  f.Timer6.set_timer_enabled(false);  // no upkeep meanwhile: the panel shows the state as left
  connect_client(t, 1);
  connect_client(t, 4);
  connect_client(t, 4);
  sock(t, 4, 2).st = sockstate::closing;
  // More slots than the panel has rows: the panel still shows the listener and slots 1..4.
  f.clientslots = 6;
  f.Winsock1.load(5);
  f.Winsock1.load(6);
  t.loop.advance(Millis(1000));
  EXPECT_EQ(f.Text24[0].text(), "2");
  EXPECT_EQ(f.Text24[1].text(), "7");
  EXPECT_EQ(f.Text24[2].text(), "0");
  EXPECT_EQ(f.Text24[4].text(), "0");
  EXPECT_EQ(f.Text15[0].text(), "0");
  EXPECT_EQ(f.Text25[1].text(), "7");
  EXPECT_EQ(f.Text25[2].text(), "8");
  EXPECT_EQ(f.Text19[3].text(), "0");
}

}  // namespace
}  // namespace quillon
