// The window as a view receives it: every control, caption and text an operator who knows the
// window looks for, placed on its page and frame, and the about box.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "console/console_view.hpp"
#include "support/fakes.hpp"

namespace quillon {
namespace {

using console::json;

std::map<std::string, json> by_id(const json& window) {
  std::map<std::string, json> m;
  for (const auto& c : window["controls"]) m[c["id"].get<std::string>()] = c;
  return m;
}

TEST(WindowModel, EveryNamedControlAndTextIsPlacedOnItsPageAndFrame) {
  test::TestServer t;
  t.server.start();
  const json win = console::window_json(t.f().window);
  const auto c = by_id(win);
  struct Expect {
    const char* id;
    const char* member;
    json value;
  } expected[] = {
      {"mnufile", "caption", "File"},
      {"mnu_exit", "caption", "Exit"},
      {"mnu_exit", "container", "mnufile"},
      {"mnu_about", "caption", "About"},
      {"Label2", "caption", "ORBIDEX"},
      {"SSTab1", "tabs", {"Scanner 1", "Scanner 2", "Scanner 3", "Scanner 4", "Status", "Audio"}},
      {"SSTab3", "tabs", {"Serial Comms", "Network talk", "Delayed data"}},
      {"SSTab2", "container", "SSTab3:0"},
      {"Frame1(2)", "container", "SSTab2:2"},
      {"Label4(20)", "label", "Squelch:"},  // channel 3, field 3
      {"Label4(20)", "container", "Frame1(2)"},
      {"Frame7", "container", "SSTab3:1"},
      {"Frame8", "caption", "Data:"},
      {"Frame3", "caption", "FILE TRANSFER:"},
      // A channel page, channel 3.
      {"Frame5(2)", "container", "SSTab1:2"},
      {"Frame5(2)", "caption", "Scanner BC785/BC796:"},
      {"Frame5(0)", "caption", "Scanner BC785/BC796 Serial Port Setup:"},
      {"Combo6", "container", "Frame5(2)"},
      {"Combo7", "container", "Frame5(2)"},
      {"Command4", "container", "Frame5(2)"},
      {"Command4", "caption", "Apply"},
      {"text5(2)", "label", "LCD data:"},
      {"text5(2)", "container", "SSTab1:2"},
      {"comdata(6)", "container", "SSTab1:2"},
      {"comdata(4)", "tooltip", "Green: Communication OK"},
      {"Check1(1)", "container", "SSTab1:2"},
      {"Check1(1)", "caption", "Enabled"},
      {"Frame6(2)", "caption", "Network/Audio Setup:"},
      {"portip1(6)", "label", "Dataport:"},
      {"portip1(7)", "label", "Audioport:"},
      {"portip1(7)", "container", "Frame6(2)"},
      {"Command7", "container", "Frame6(2)"},
      {"Command3", "caption", "Apply ports"},
      {"Combo10(2)", "label", "Default SampleRate:"},
      {"Combo13(2)", "label", "Audio Device #:"},
      {"Command13(2)", "caption", "Setup Recording Volume"},
      {"Frame10", "container", "SSTab1:0"},
      {"Frame10", "caption", "Scanner Text ID: "},
      {"Text11(0)", "label", "Text ID:"},
      // The status page.
      {"Frame11", "caption", "Comports Status:"},
      {"Frame11", "container", "SSTab1:4"},
      {"comdata(1)", "label", "ComData:"},
      {"comdata(1)", "channel", 2},
      {"comstat1(3)", "label", "Comopen:"},
      {"Frame9", "caption", "ServerStatus:"},
      {"shape2(0)", "label", "Dataport:"},
      {"AUDIOlink(2)", "label", "AudioLink:"},
      {"Text19(4)", "channel", 3},
      {"Frame4", "caption", "Audio Server:"},
      {"AUDIOSTAT(1)", "label", "AudioDev:"},
      {"AUDIOSTAT(6)", "label", "Codec:"},
      {"AUDIOSTAT(6)", "channel", 3},
      {"AUDIOSTAT(11)", "label", "IPserver:"},
      {"Text17(0)", "label", "Active Connections/ Max. connections:"},
      {"Frame12", "caption", "Data Interval (ms):"},
      {"Text9(0)", "text", "1000"},
      {"Frame14", "caption", "Audio Packets Format:"},
      {"Option1(0)", "caption", "UDP"},
      {"lblRestartNote", "caption", "SERVER must be restarted before this setting is APPLIED!"},
      {"Command11", "container", "SSTab1:4"},
      {"cmdclr", "container", "SSTab1:4"},
      // The audio page.
      {"Frame13", "caption", "Settings For AudioStream:"},
      {"Frame13", "container", "SSTab1:5"},
      {"Command9", "container", "Frame13"},
      {"wavein3", "kind", "component"},
      {"serverIpServerX", "container", "Frame13"},
      // The about box, hidden until opened.
      {"frmabout", "visible", false},
      {"lblProduct", "caption", "Quillon"},
      {"lblVersion", "caption", "1.300 BETA"},
      {"cmdOk", "caption", "Ok"},
      {"cmdOk", "container", "frmabout"},
  };
  for (const auto& e : expected) {
    auto it = c.find(e.id);
    ASSERT_NE(it, c.end()) << e.id;
    EXPECT_EQ(it->second.value(e.member, json()), e.value) << e.id << " " << e.member;
  }

  // Each channel column of the four panels is headed "1".."4".
  for (const char* panel : {"Frame11", "Frame9", "Frame4", "Frame12"}) {
    std::multiset<std::string> headings;
    for (const auto& [id, ctl] : c)
      if (ctl["name"] == "lblColumn" && ctl["container"] == panel)
        headings.insert(ctl["caption"].get<std::string>() + "=" + std::to_string(ctl["channel"].get<int>()));
    EXPECT_EQ(headings, (std::multiset<std::string>{"1=1", "2=2", "3=3", "4=4"})) << panel;
  }

  // Every container exists (a frame, the menu or a page of a tab control), and only the top of
  // the window and the timers have none: a control added without a place shows up here.
  const std::set<std::string> top = {"mnufile", "mnu_about", "Label2", "SSTab1", "SSTab3", "Frame3", "frmabout"};
  for (const auto& [id, ctl] : c) {
    if (!ctl.contains("container")) {
      EXPECT_TRUE(top.count(id) || ctl["kind"] == "timer") << id << " has no place";
      continue;
    }
    EXPECT_NE(ctl["kind"], "timer") << id;
    const std::string box = ctl["container"];
    const auto colon = box.find(':');
    auto owner = c.find(box.substr(0, colon));
    ASSERT_NE(owner, c.end()) << id << " sits in " << box;
    if (colon != std::string::npos) {
      ASSERT_EQ(owner->second["kind"], "tabs") << id;
      EXPECT_LT(std::stoul(box.substr(colon + 1)), owner->second["tabs"].size()) << id;
    } else {
      EXPECT_TRUE(owner->second["kind"] == "frame" || owner->second["kind"] == "menu") << id << " sits in " << box;
    }
  }
}

TEST(WindowModel, AboutBoxOpensFromTheMenuAndClosesWithOk) {
  test::TestServer t;
  t.server.start();
  auto act = [&](const char* control) {
    const auto r = console::run_action(t.f().window, json{{"action", "click"}, {"control", control}}.dump());
    t.loop.run_ready();
    return r.status;
  };
  EXPECT_EQ(act("cmdOk"), 409);  // not reachable while the box is hidden
  EXPECT_EQ(act("mnu_about"), 200);
  EXPECT_TRUE(t.f().frmabout.visible());
  EXPECT_EQ(by_id(console::window_json(t.f().window))["frmabout"].value("visible", true), true);
  EXPECT_EQ(act("cmdOk"), 200);
  EXPECT_FALSE(t.f().frmabout.visible());
  EXPECT_FALSE(t.server.shell.closing());
}

}  // namespace
}  // namespace quillon
