#include <gtest/gtest.h>

#include "window/controls.hpp"
#include "core/errors.hpp"
#include "core/virtual_event_loop.hpp"
#include "core/wait.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;

struct TimerFixture : ::testing::Test {
  VirtualEventLoop loop;
  ui::Window w{loop, "w"};
  std::vector<long> ticks;  // virtual ms since start, per tick
  TimePoint t0 = loop.now();
  long ms() const { return std::chrono::duration_cast<Millis>(loop.now() - t0).count(); }
};

TEST_F(TimerFixture, TicksAtItsPeriodOnlyWhileEnabled) {
  auto& t = w.make<ui::Timer>("T", -1, 100, false);
  t.on_tick([&] { ticks.push_back(ms()); });
  loop.advance(500ms);
  EXPECT_TRUE(ticks.empty());
  t.set_timer_enabled(true);
  loop.advance(350ms);
  EXPECT_EQ(ticks, (std::vector<long>{600, 700, 800}));
  t.set_timer_enabled(false);
  loop.advance(1000ms);
  EXPECT_EQ(ticks.size(), 3u);
}

TEST_F(TimerFixture, EnablingARunningTimerDoesNotRestartItsPeriod) {
  auto& t = w.make<ui::Timer>("T", -1, 1000, true);
  t.on_tick([&] { ticks.push_back(ms()); });
  loop.advance(600ms);
  t.set_timer_enabled(true);
  loop.advance(500ms);
  EXPECT_EQ(ticks, (std::vector<long>{1000}));
}

TEST_F(TimerFixture, NewIntervalIsCountedFromTheMomentItIsSet) {
  auto& t = w.make<ui::Timer>("T", -1, 2000, true);
  t.on_tick([&] { ticks.push_back(ms()); });
  loop.advance(200ms);
  t.set_interval(100);  // the turn due at 2000 is dropped
  loop.advance(350ms);
  EXPECT_EQ(ticks, (std::vector<long>{300, 400, 500}));
  t.set_interval(100);  // the same interval again changes nothing
  loop.advance(50ms);
  EXPECT_EQ(ticks.back(), 600);
  t.set_interval(1000);
  loop.advance(1500ms);
  EXPECT_EQ(ticks, (std::vector<long>{300, 400, 500, 600, 1600}));
  t.set_timer_enabled(false);
  t.set_interval(300);  // a stopped timer stays stopped
  loop.advance(1000ms);
  EXPECT_EQ(ticks.size(), 5u);
}

TEST_F(TimerFixture, ATickSuspendedInAWaitIsNotReenteredAndNothingBursts) {
  auto& t = w.make<ui::Timer>("T", -1, 100, true);
  int entered = 0, finished = 0;
  t.on_tick_async([&]() -> Task {
    ++entered;
    float s = 0.35f;
    co_await wait_seconds(loop, s);
    ++finished;
  });
  loop.advance(100ms);
  EXPECT_EQ(entered, 1);
  loop.advance(400ms);  // the wait ends at 450; turns at 200, 300, 400 are skipped
  EXPECT_EQ(entered, 2);
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(t.skipped(), 3u);
  t.set_timer_enabled(false);
  loop.advance(400ms);  // let the second tick finish its wait
  EXPECT_EQ(finished, 2);
}

TEST_F(TimerFixture, DisablingInsideItsOwnTickStopsIt) {
  auto& t = w.make<ui::Timer>("T", -1, 50, true);
  t.on_tick([&] {
    ticks.push_back(ms());
    t.set_timer_enabled(false);
  });
  loop.advance(500ms);
  EXPECT_EQ(ticks, (std::vector<long>{50}));
}

TEST_F(TimerFixture, WaitSecondsLimitsAndLetsOtherEventsRun) {
  auto& t = w.make<ui::Timer>("T", -1, 100, true);
  t.on_tick([&] { ticks.push_back(ms()); });
  float asked = 7.0f;
  bool done = false;
  long done_at = -1;
  auto waiter = [&]() -> Task {
    co_await wait_seconds(loop, asked);
    done = true;
    done_at = ms();
  };
  waiter().start_detached();
  EXPECT_FLOAT_EQ(asked, 5.0f);
  loop.advance(4999ms);
  EXPECT_FALSE(done);
  EXPECT_EQ(ticks.size(), 49u);
  loop.advance(1ms);
  EXPECT_TRUE(done);
  EXPECT_EQ(done_at, 5000);

  for (float s : {0.0f, -1.0f}) {
    bool returned = false;
    auto zero = [&]() -> Task {
      co_await wait_seconds(loop, s);
      returned = true;
    };
    zero().start_detached();
    EXPECT_TRUE(returned) << s;  // at once, without any event running
  }
}

TEST_F(TimerFixture, MessageBoxSuspendsTheActionUntilAcknowledged) {
  auto& b = w.make<ui::CommandButton>("Command1", -1);
  std::vector<std::string> steps;
  b.on_click = [&]() -> Task {
    steps.push_back("before");
    co_await w.msgbox("Selected comport not available");
    steps.push_back("after");
  };
  b.click().start_detached();
  ASSERT_EQ(w.pending_messages().size(), 1u);
  EXPECT_EQ(w.pending_messages()[0].text, "Selected comport not available");
  loop.advance(10s);
  EXPECT_EQ(steps, (std::vector<std::string>{"before"}));
  EXPECT_FALSE(w.acknowledge(9999));
  EXPECT_TRUE(w.acknowledge(w.pending_messages()[0].id));
  loop.run_ready();
  EXPECT_EQ(steps, (std::vector<std::string>{"before", "after"}));
}

TEST_F(TimerFixture, ChangeHandlersRunOnlyOnRealChanges) {
  auto& text = w.make<ui::TextBox>("Text1", 0);
  auto& check = w.make<ui::CheckBox>("Check1", 0);
  auto& combo = w.make<ui::ComboBox>("Combo1");
  int changes = 0, clicks = 0;
  text.on_change = [&] { ++changes; };
  check.on_click = [&] { ++clicks; };
  text.set_text("ST");
  text.set_text("ST");
  text.set_text("");
  text.set_text("ST");
  EXPECT_EQ(changes, 3);
  check.set_value(0);
  EXPECT_EQ(clicks, 0);
  check.set_value(1);
  check.set_value(1);
  EXPECT_EQ(clicks, 1);
  combo.add_item("1");
  EXPECT_THROW(combo.set_list_index(1), Error);
  EXPECT_EQ(combo.list_index(), -1);
  combo.set_list_index(0);
  EXPECT_EQ(combo.text(), "1");
}

TEST_F(TimerFixture, ObserversSeeEveryChange) {
  auto& lamp = w.make<ui::Lamp>("comdata", 4);
  std::vector<std::string> seen;
  w.add_observer([&](const ui::Control& c, std::string_view prop) { seen.push_back(c.id() + "." + std::string(prop)); });
  EXPECT_FALSE(lamp.fill_color().has_value());
  lamp.set_fill_color(ui::kRed);
  lamp.set_fill_color(ui::kRed);
  lamp.set_fill_color(ui::kGreen);
  EXPECT_EQ(seen, (std::vector<std::string>{"comdata(4).color", "comdata(4).color"}));
  EXPECT_EQ(w.find("comdata", 4), &lamp);
  EXPECT_EQ(w.find("comdata", 5), nullptr);
}

}  // namespace
}  // namespace quillon
