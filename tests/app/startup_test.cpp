#include <gtest/gtest.h>

#include "support/fakes.hpp"

namespace quillon {
namespace {

TEST(Startup, WindowHasItsCaptionAndStartValues) {
  test::TestServer t;
  auto& f = t.f();
  EXPECT_EQ(f.window.caption(), "Varnilo - Quillon 1.300 Beta");
  EXPECT_EQ(f.Label2.caption(), "ORBIDEX");
  EXPECT_FALSE(f.portip1.has(3));
  EXPECT_THROW(f.portip1[3], Error);
  EXPECT_EQ(f.Text9[0].text(), "1000");
  EXPECT_EQ(f.Text9[2].text(), "-");
  EXPECT_EQ(f.Label5[3].caption(), "-");
  EXPECT_FALSE(f.comdata[0].fill_color().has_value());
  EXPECT_EQ(f.Label3[17].caption(), "Step:");  // channel 2's field 1
  EXPECT_EQ(f.Label3[35].caption(), "n/a:");   // channel 4's field 9
  EXPECT_TRUE(f.Timer7[0].timer_enabled());
  EXPECT_FALSE(f.Timer7[1].timer_enabled());
  EXPECT_EQ(f.Timer30[1].interval(), 2000);
  EXPECT_FALSE(f.Check1[0].enabled());
}

TEST(Startup, FirstStartWithNoSettings) {
  test::TestServer t;
  t.server.start();
  auto& f = t.f();
  EXPECT_EQ(f.clientslots, 4);
  EXPECT_EQ(f.Text11[0].text(), "");
  EXPECT_EQ(f.pollstep[0], 1);
  EXPECT_TRUE(f.Check1[0].enabled());
  EXPECT_TRUE(f.Frame6[3].enabled());
  for (int k = 0; k < 3; ++k) EXPECT_EQ(f.Check1[k].value(), 0);
  EXPECT_TRUE(f.Timer4.timer_enabled());
  EXPECT_TRUE(f.Timer5.timer_enabled());
  EXPECT_FALSE(f.Timer15.timer_enabled());
  for (auto& s : t.fakes.server) EXPECT_EQ(s.max_clients(), 6);
}

TEST(Startup, DeviceListsGetTheSameEntries) {
  test::TestServer t;
  t.fakes.capture[1].names = {"a", "b", "c", "d", "e", "f"};
  t.server.start();
  for (int k = 0; k < 4; ++k)
    EXPECT_EQ(t.f().Combo13[k].items(),
              (std::vector<std::string>{"Windows Default", "a", "b", "c", "d", "e", "f"}));
  // A device number without a device leaves that entry out.
  test::TestServer u;
  u.server.start();
  EXPECT_EQ(u.f().Combo13[2].list_count(), 3);
}

TEST(Startup, DeletesThePreviousExitLog) {
  test::TestServer t;
  t.server.exitlog.writeexitlog("unload-complete");
  ASSERT_TRUE(std::filesystem::exists(t.dir / "exitlog.txt"));
  t.server.start();
  EXPECT_FALSE(std::filesystem::exists(t.dir / "exitlog.txt"));
}

}  // namespace
}  // namespace quillon
