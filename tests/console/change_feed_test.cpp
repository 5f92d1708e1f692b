// The change events the console's pages get, in virtual time: where each control ended up once
// per interval, message boxes at once and in order, and a page that applies its snapshot and
// the events always holds the window's state.
#include <gtest/gtest.h>

#include <map>

#include "console/console_changes.hpp"
#include "console/console_view.hpp"
#include "support/fakes.hpp"

namespace quillon {
namespace {

using console::json;
using std::chrono::milliseconds;

struct Feed {
  Feed(EventLoop& loop, ui::Window& w)
      : feed(loop, w, milliseconds(100), [this] { return listening; },
             [this](const console::ChangeFeed::Message& m, const ui::Control*) { got.push_back(json::parse(*m)); }) {}
  std::vector<json> take() { return std::exchange(got, {}); }
  bool listening = true;
  std::vector<json> got;
  console::ChangeFeed feed;
};

TEST(ChangeFeed, EachControlGoesOutOncePerIntervalWithItsLatestState) {
  VirtualEventLoop loop;
  ui::Window w(loop, "frmserver");
  auto& lcd = w.make<ui::TextBox>("text5", 0);
  auto& lamp = w.make<ui::Lamp>("comdata", 4);
  auto& timer = w.make<ui::Timer>("Timer4", -1, 50, false);
  auto& label = w.make<ui::Label>("Label1");
  Feed f(loop, w);

  // A display rewritten forty times within the interval: one event, the last text, in the
  // same form as a single change.
  for (int i = 0; i < 40; ++i) lcd.set_text("frame " + std::to_string(i));
  loop.advance(milliseconds(99));
  EXPECT_TRUE(f.got.empty());
  loop.advance(milliseconds(1));
  auto got = f.take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], console::change_json(lcd, "text"));
  EXPECT_EQ(got[0]["control"]["text"], "frame 39");

  // Two controls: in the order they first changed.
  lamp.set_fill_color(ui::kRed);
  timer.set_timer_enabled(true);
  lcd.set_text("frame 40");
  loop.advance(milliseconds(100));
  got = f.take();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0]["control"]["id"], "comdata(4)");
  EXPECT_EQ(got[1]["control"]["timer_enabled"], true);
  EXPECT_EQ(got[2]["control"]["text"], "frame 40");

  // A lamp and a timer that flick and come back to what the pages have: nothing to send.
  lamp.set_fill_color(ui::kGreen);
  lamp.set_fill_color(ui::kRed);
  timer.set_timer_enabled(false);
  timer.set_timer_enabled(true);
  loop.advance(milliseconds(500));
  EXPECT_TRUE(f.take().empty());
  EXPECT_EQ(f.feed.counters().unchanged, 2u);

  // Several properties of one control: one event naming them all.
  lcd.set_enabled(false);
  lcd.set_text("frame 41");
  loop.advance(milliseconds(100));
  got = f.take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]["property"], "text");
  EXPECT_EQ(got[0]["properties"], json({"enabled", "text"}));
  EXPECT_EQ(got[0]["control"]["enabled"], false);

  // A message box goes out at once, after the change that came before it.
  label.set_caption("waiting");
  const auto box = w.msgbox("Port opened");
  got = f.take();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]["control"]["caption"], "waiting");
  EXPECT_EQ(got[1]["type"], "message_shown");
  label.set_caption("done");
  ASSERT_TRUE(w.acknowledge(box.id));
  got = f.take();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]["control"]["caption"], "done");
  EXPECT_EQ(got[1]["type"], "message_acknowledged");
  loop.advance(milliseconds(200));
  EXPECT_TRUE(f.take().empty());  // nothing sent twice

  // While nobody listens nothing is kept; a page that comes later has the new state in its
  // snapshot and must still get a change back to the state sent before it came.
  f.listening = false;
  lamp.set_fill_color(ui::kGreen);
  loop.advance(milliseconds(200));
  EXPECT_TRUE(f.take().empty());
  f.listening = true;
  lamp.set_fill_color(ui::kRed);
  loop.advance(milliseconds(100));
  got = f.take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]["control"]["color"], ui::kRed);

  // An operator's action: flush() sends its effect without waiting for the interval.
  lcd.set_text("typed");
  f.feed.flush();
  EXPECT_EQ(f.take().size(), 1u);

  f.feed.close();
  lcd.set_text("after close");
  loop.advance(milliseconds(200));
  EXPECT_TRUE(f.take().empty());
}

// The whole server on fakes, running its timers and channels for a while: a page that applies
// its snapshot and then every event holds exactly the window's state after each interval,
// with far fewer events than the window made changes.
TEST(ChangeFeed, APageThatAppliesTheEventsHoldsTheWindowsState) {
  test::TestServer t;
  t.server.start();
  t.loop.run_ready();
  ui::Window& w = t.f().window;
  Feed f(t.loop, w);
  std::map<std::string, json> page;
  const json snapshot = console::window_json(w);  // kept: the loop walks a part of it
  for (const auto& c : snapshot["controls"]) page[c["id"].get<std::string>()] = c;

  // Switch channels on and off and rewrite fields between intervals, as the logic and an
  // operator do.
  auto& text = *w.find("Text11", 0);
  for (int step = 0; step < 60; ++step) {
    if (auto* check = dynamic_cast<ui::CheckBox*>(w.find("Check1", step % 3))) check->set_value(step % 2);
    for (int k = 0; k < 5; ++k) static_cast<ui::TextBox&>(text).set_text(step % 4 == 0 ? "North" : "edit " + std::to_string(k));
    t.loop.advance(milliseconds(100));
    for (const auto& e : f.take()) {
      ASSERT_EQ(e["type"], "change");
      page[e["control"]["id"].get<std::string>()] = e["control"];
    }
    t.acknowledge_all();
    for (const auto& e : f.take())
      if (e["type"] == "change") page[e["control"]["id"].get<std::string>()] = e["control"];
    t.loop.advance(milliseconds(100));
    f.feed.flush();  // a timer may have changed something at this very instant, after the turn went out
    for (const auto& e : f.take())
      if (e["type"] == "change") page[e["control"]["id"].get<std::string>()] = e["control"];
    const json now = console::window_json(w);
    for (const auto& c : now["controls"]) ASSERT_EQ(page[c["id"].get<std::string>()], c) << "after step " << step;
  }
  const auto& n = f.feed.counters();
  EXPECT_GT(n.changes, 0u);
  EXPECT_LT(n.sent, n.changes);
}

}  // namespace
}  // namespace quillon
