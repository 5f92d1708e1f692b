// The audio chains' logic on fake components in virtual time: set-up, monitor, counts,
// recovery, the Apply actions, reset, the volume button and the shutdown stop.

#include <gtest/gtest.h>

#include "support/fakes.hpp"
#include "support/process.hpp"

namespace quillon {
namespace {

using test::TestServer;

std::vector<bool> take(std::vector<bool>& v) { return std::exchange(v, {}); }

class AudioService_ : public ::testing::Test {
 protected:
  void start() {
    t.server.start();
    t.loop.run_ready();
  }
  // Stops the periodic tasks so a test drives one of them alone.
  void quiet_timers() {
    for (ui::Timer* tm : {&f().Timer6, &f().Timer12, &f().Timer28, &f().Timer25}) tm->set_timer_enabled(false);
  }
  Frmserver& f() { return t.f(); }
  AudioService& audio() { return t.server.audio; }
  test::FakeCapture& cap(int k) { return t.fakes.capture[static_cast<std::size_t>(k)]; }
  test::FakeServerComponent& srv(int k) { return t.fakes.server[static_cast<std::size_t>(k)]; }
  test::FakeSocket& listener(int k) { return static_cast<test::FakeSocket&>((*f().winsock[static_cast<std::size_t>(k)])[0]); }
  void store(const std::string& name, const std::string& value) { t.server.settings.savereg(name, value + "x"); }
  void run(Task task) {
    bool done = false;
    task.start_detached([&] { done = true; });
    for (int i = 0; i < 100 && !done; ++i) {
      t.acknowledge_all();
      t.loop.advance(Millis(100));
    }
    ASSERT_TRUE(done);
  }

  TestServer t{"audio"};
};

// --- init_audio -------------------------------------------------------------------------------

TEST_F(AudioService_, WithoutStoredSettingsEveryChainRunsTheDefaultInputAt11025AndIsLinked) {
  start();
  for (int k = 0; k < kChannels; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(cap(k).consumer, &t.fakes.codec[static_cast<std::size_t>(k)]);
    EXPECT_EQ(t.fakes.codec[static_cast<std::size_t>(k)].consumer, &srv(k));
    EXPECT_EQ(cap(k).device_id(), -1);
    EXPECT_EQ(cap(k).pcm_samples_per_sec(), 11025);
    EXPECT_TRUE(cap(k).active()) << "started whatever the enable switches show";
    EXPECT_EQ(f().Combo13[k].list_index(), 0);
    EXPECT_EQ(f().Combo13[k].text(), "Windows Default");
    EXPECT_EQ(f().Combo10[k].text(), "11025");
  }
}

TEST_F(AudioService_, StoredDeviceAndRatePositionsMapToDeviceIdAndRate) {
  for (auto& c : t.fakes.capture) c.names = {"A", "B", "C", "D", "E", "F"};
  store("audiodevice1", "3");   // DeviceId 2
  store("audiodevice2", "5");   // list shows it, capture keeps the default input
  store("audiodevice3", "-3");  // treated as 0
  store("audiodevice4", "6");
  store("audioset1", "2");
  store("audioset2", "0");
  store("audioset3", "3");
  store("audioset4", "4");  // no such position: no selection, rate stays 44100
  start();
  EXPECT_EQ(cap(0).device_id(), 2);
  EXPECT_EQ(f().Combo13[1].list_index(), 5);
  EXPECT_EQ(cap(1).device_id(), -1);
  EXPECT_EQ(f().Combo13[2].list_index(), 0);
  EXPECT_EQ(cap(2).device_id(), -1);
  EXPECT_EQ(f().Combo13[3].list_index(), 6);
  EXPECT_EQ(cap(3).device_id(), -1);
  EXPECT_EQ(cap(0).pcm_samples_per_sec(), 22050);
  EXPECT_EQ(cap(1).pcm_samples_per_sec(), 8000);
  EXPECT_EQ(cap(2).pcm_samples_per_sec(), 44100);
  EXPECT_EQ(f().Combo10[3].list_index(), -1);
  EXPECT_EQ(cap(3).pcm_samples_per_sec(), 44100);
}

TEST_F(AudioService_, ACaptureThatFailsToStartDoesNotStopTheOthers) {
  cap(1).fail_activation = true;
  start();
  EXPECT_TRUE(cap(0).active());
  EXPECT_FALSE(cap(1).active());
  EXPECT_TRUE(cap(2).active());
  EXPECT_TRUE(cap(3).active());
}

// --- Monitor tick -----------------------------------------------------------------------------

TEST_F(AudioService_, MonitorShowsChainStateLampsAndTexts) {
  start();
  quiet_timers();
  t.fakes.codec[2].broken = true;
  srv(1).clients = 2;
  if (!t.fakes.ports[0].port_open()) t.fakes.ports[0].set_port_open(true);
  if (t.fakes.ports[1].port_open()) t.fakes.ports[1].set_port_open(false);
  f().Text15[1].set_text("7");
  f().Text24[1].set_text("2");
  audio().monitor_tick();
  EXPECT_EQ(f().audiostatus, "True-True-True-True");
  EXPECT_EQ(f().codecstatus, "True-True-False-True");
  EXPECT_EQ(f().ipstatus, "True-True-True-True");
  EXPECT_EQ(f().comstat1[0].fill_color(), ui::kGreen);
  EXPECT_EQ(f().comstat1[1].fill_color(), ui::kRed);
  EXPECT_EQ(f().AUDIOSTAT[6].fill_color(), ui::kRed);
  EXPECT_EQ(f().AUDIOSTAT[5].fill_color(), ui::kGreen);
  EXPECT_EQ(f().AUDIOSTAT[10].fill_color(), ui::kGreen);
  EXPECT_EQ(f().AUDIOlink[1].fill_color(), ui::kGreen);
  EXPECT_EQ(f().AUDIOlink[0].fill_color(), ui::kRed);
  EXPECT_EQ(f().shape2[1].fill_color(), ui::kGreen);
  EXPECT_EQ(f().shape2[0].fill_color(), ui::kRed);
  for (int k = 0; k < kChannels; ++k) EXPECT_EQ(f().Label22[k].caption(), std::to_string(f().numcom[static_cast<std::size_t>(k)]));

  cap(3).set_active(false);
  audio().monitor_tick();
  EXPECT_EQ(f().audiostatus, "True-True-True-False");
  EXPECT_EQ(f().ipstatus, "True-True-True-False");
  EXPECT_EQ(f().AUDIOSTAT[3].fill_color(), ui::kRed);
  EXPECT_EQ(f().AUDIOSTAT[11].fill_color(), ui::kRed);
}

TEST_F(AudioService_, MonitorTicksEverySecondFromStart) {
  start();
  cap(2).set_active(false);
  t.loop.advance(Millis(1000));
  EXPECT_EQ(f().audiostatus, "True-True-False-True");
  cap(2).set_active(true);
  t.loop.advance(Millis(1000));
  EXPECT_EQ(f().audiostatus, "True-True-True-True");
}

// --- Count tick -------------------------------------------------------------------------------

TEST_F(AudioService_, CountTickShowsClientsOverLimitTransportAndStatusValue) {
  start();
  quiet_timers();
  srv(0).clients = 1;
  srv(3).status = 2;
  audio().count_tick();
  EXPECT_EQ(f().Text17[0].text(), "1/6");
  EXPECT_EQ(f().Text17[1].text(), "0/6");
  EXPECT_EQ(f().Label14[3].caption(), "2");
  srv(0).set_proto(1);
  audio().count_tick();
  EXPECT_EQ(f().Label13.caption(), "UDP");
  srv(0).set_proto(7);  // neither: left as it was
  audio().count_tick();
  EXPECT_EQ(f().Label13.caption(), "UDP");
  srv(0).set_proto(0);
  audio().count_tick();
  EXPECT_EQ(f().Label13.caption(), "TCP");
}

// --- Recovery tick ----------------------------------------------------------------------------

TEST_F(AudioService_, RecoveryRestartsAChannelWhoseAudioClientsHaveNoDataClient) {
  start();
  f().Check1[0].set_value(1);  // channel 2 on
  quiet_timers();
  for (int k = 0; k < kChannels; ++k) take(cap(k).activations);
  srv(1).clients = 2;
  f().numcom[1] = 0;
  srv(2).clients = 2;  // channel 3 is off: left alone
  f().portip1[0].set_text("3010");
  f().portip1[4].set_text("3012");
  listener(2).set_local_port(5555);
  audio().recovery_tick().start_detached();
  EXPECT_EQ(listener(0).local_port(), 3010);
  EXPECT_EQ(listener(0).state(), sockstate::listening);
  EXPECT_EQ(listener(1).local_port(), 3012);
  EXPECT_EQ(listener(2).local_port(), 5555) << "a switched-off channel is not re-armed";
  EXPECT_FALSE(cap(1).active());
  t.loop.advance(Millis(999));
  EXPECT_FALSE(cap(1).active()) << "stopped for one second";
  t.loop.advance(Millis(1));
  EXPECT_TRUE(cap(1).active());
  EXPECT_EQ(take(cap(1).activations), (std::vector<bool>{false, true}));
  EXPECT_TRUE(take(cap(2).activations).empty());
  EXPECT_TRUE(take(cap(0).activations).empty());
  EXPECT_TRUE(f().List1.items().empty()) << "channel 2's restart writes no line";
}

TEST_F(AudioService_, RecoveryOfChannelOneComparesDataAndAudioClients) {
  start();
  quiet_timers();
  take(cap(0).activations);
  // Audio clients without data clients: restart, no line.
  srv(0).clients = 2;
  f().numcom[0] = 0;
  audio().recovery_tick().start_detached();
  t.loop.advance(Millis(1000));
  EXPECT_EQ(take(cap(0).activations), (std::vector<bool>{false, true}));
  EXPECT_TRUE(f().List1.items().empty());
  // More audio than data clients: a line and a restart.
  f().numcom[0] = 1;
  audio().recovery_tick().start_detached();
  EXPECT_EQ(f().List1.items().back(), "audio reset client numbers");
  t.loop.advance(Millis(1000));
  EXPECT_EQ(take(cap(0).activations), (std::vector<bool>{false, true}));
  // Equal numbers: left alone.
  f().numcom[0] = 2;
  audio().recovery_tick().start_detached();
  t.loop.advance(Millis(2000));
  EXPECT_TRUE(take(cap(0).activations).empty());
  EXPECT_EQ(f().List1.items().size(), 1u);
}

TEST_F(AudioService_, RecoveryRunsEveryTwentySecondsAndLeavesAFailedRestartAlone) {
  start();
  for (ui::Timer* tm : {&f().Timer6, &f().Timer12, &f().Timer25}) tm->set_timer_enabled(false);
  take(cap(0).activations);
  srv(0).clients = 1;
  f().numcom[0] = 0;
  t.loop.advance(Millis(20000));
  EXPECT_FALSE(cap(0).active());
  t.loop.advance(Millis(1000));
  EXPECT_EQ(take(cap(0).activations), (std::vector<bool>{false, true}));
  cap(0).fail_activation = true;
  t.loop.advance(Millis(20000));
  t.loop.advance(Millis(1000));
  EXPECT_EQ(take(cap(0).activations), (std::vector<bool>{false, true}));
  EXPECT_FALSE(cap(0).active());
  t.loop.advance(Millis(21000));
  EXPECT_TRUE(take(cap(0).activations).empty()) << "an inactive capture is not restarted by the tick";
}

// --- Network Apply ----------------------------------------------------------------------------

TEST_F(AudioService_, NetworkApplyMovesTheListenerWaitsAndRestartsTheChainWithTheChoices) {
  start();
  quiet_timers();
  f().Check1[0].set_value(1);
  for (auto& c : t.fakes.capture) c.names = {"A", "B", "C", "D", "E", "F"};
  f().Combo13[1].add_item("A");  // the lists were filled at start-up with two devices
  for (const char* n : {"B", "C", "D", "E"}) f().Combo13[1].add_item(n);
  f().Combo13[1].set_list_index(6);
  f().Combo10[1].set_list_index(-1);
  f().Option1[0].set_value(true);
  f().portip1[4].set_text("2020.6");
  f().portip1[5].set_text("2021.5");
  take(cap(1).activations);
  bool done = false;
  f().Command6.click().start_detached([&] { done = true; });
  EXPECT_EQ(listener(1).local_port(), 2021);
  EXPECT_EQ(listener(1).state(), sockstate::listening);
  EXPECT_FALSE(cap(1).active());
  t.loop.advance(Millis(999));
  EXPECT_FALSE(done);
  t.loop.advance(Millis(1));
  ASSERT_TRUE(done);
  EXPECT_EQ(cap(1).device_id(), 5) << "the list's last device can be chosen";
  EXPECT_EQ(cap(1).pcm_samples_per_sec(), 22050);
  EXPECT_EQ(srv(1).proto(), 1);
  EXPECT_EQ(srv(1).port(), "2021.5");
  EXPECT_EQ(take(cap(1).activations), (std::vector<bool>{false, true}));
}

TEST_F(AudioService_, PortInUseShowsAMessageOnChannelsTwoToFourOnly) {
  start();
  quiet_timers();
  f().Check1[0].set_value(1);
  listener(1).port_in_use = true;
  listener(0).port_in_use = true;
  bool done = false;
  f().Command6.click().start_detached([&] { done = true; });
  ASSERT_EQ(f().window.pending_messages().size(), 1u);
  EXPECT_EQ(f().window.pending_messages()[0].text, "Selected port already in use!");
  EXPECT_TRUE(cap(1).active()) << "the audio part waits for the OK";
  t.loop.advance(Millis(3000));
  EXPECT_FALSE(done);
  t.acknowledge_all();
  EXPECT_EQ(listener(1).state(), sockstate::closed);
  t.loop.advance(Millis(1000));
  EXPECT_TRUE(done);
  EXPECT_TRUE(cap(1).active());

  run(f().Command3.click());
  EXPECT_TRUE(t.acknowledge_all().empty()) << "channel 1 shows no message";
  EXPECT_EQ(listener(0).state(), sockstate::closed);
  EXPECT_TRUE(cap(0).active());
}

TEST_F(AudioService_, ApplyOnASwitchedOffChannelLeavesItsListenerClosedButRestartsAudio) {
  start();
  quiet_timers();
  f().portip1[6].set_text("");
  f().portip1[7].set_text("1015");
  take(cap(2).activations);
  run(f().Command7.click());
  EXPECT_EQ(listener(2).state(), sockstate::closed);
  EXPECT_EQ(listener(2).local_port(), 0);
  EXPECT_EQ(srv(2).port(), "1015");
  EXPECT_EQ(srv(2).proto(), 0);
  EXPECT_EQ(take(cap(2).activations), (std::vector<bool>{false, true}));
}

// --- Audio Apply, reset, volume, stopserver ---------------------------------------------------

TEST_F(AudioService_, AudioApplyRunsTheNetworkApplyAndThenTheChannelsOwnRate) {
  start();
  quiet_timers();
  f().Combo10[0].set_list_index(2);
  take(cap(0).activations);
  bool done = false;
  f().Command12[0].click().start_detached([&] { done = true; });
  EXPECT_FALSE(cap(0).active());
  t.loop.advance(Millis(1000));
  ASSERT_TRUE(done) << "one second: the network Apply's wait";
  EXPECT_EQ(cap(0).pcm_samples_per_sec(), 22050);
  EXPECT_TRUE(cap(0).active());
  EXPECT_EQ(take(cap(0).activations), (std::vector<bool>{false, false, true, true}));
}

TEST_F(AudioService_, AudioApplyRestartsASwitchedOffChannelAndSurvivesAFailingCapture) {
  start();
  quiet_timers();
  f().Combo10[3].set_list_index(3);
  cap(3).fail_activation = true;
  run(f().Command12[3].click());
  EXPECT_FALSE(cap(3).active());
  EXPECT_EQ(cap(3).pcm_samples_per_sec(), 44100);
  cap(3).fail_activation = false;
  run(f().Command12[3].click());
  EXPECT_TRUE(cap(3).active());
}

TEST_F(AudioService_, ResetRestartsChannelOneAndTheSwitchedOnChannelsOneSecondEach) {
  start();
  quiet_timers();
  f().Check1[0].set_value(1);
  f().Check1[2].set_value(1);
  for (int k = 0; k < kChannels; ++k) take(cap(k).activations);
  bool done = false;
  f().Command9.click().start_detached([&] { done = true; });
  EXPECT_FALSE(cap(0).active());
  t.loop.advance(Millis(1000));
  EXPECT_TRUE(cap(0).active());
  EXPECT_FALSE(cap(1).active());
  t.loop.advance(Millis(1000));
  EXPECT_FALSE(cap(3).active());
  EXPECT_FALSE(done);
  t.loop.advance(Millis(1000));
  EXPECT_TRUE(done) << "three channels, three seconds";
  for (int k : {0, 1, 3}) EXPECT_EQ(take(cap(k).activations), (std::vector<bool>{false, true})) << k;
  EXPECT_TRUE(take(cap(2).activations).empty());
}

TEST_F(AudioService_, VolumeButtonStartsTheMixerWithTheDeviceNumber) {
  start();
  std::vector<std::vector<std::string>> started;
  audio().mixer = "mixer -R -D";
  audio().start_program = [&](const std::vector<std::string>& argv) {
    started.push_back(argv);
    return false;  // cannot be started: ignored
  };
  f().Combo13[0].set_list_index(0);
  f().Combo13[2].set_list_index(2);
  f().Combo13[3].set_list_index(-1);
  run(f().Command13[0].click());
  run(f().Command13[2].click());
  run(f().Command13[3].click());
  ASSERT_EQ(started.size(), 3u);
  EXPECT_EQ(started[0], (std::vector<std::string>{"mixer", "-R", "-D-1"}));
  EXPECT_EQ(started[1], (std::vector<std::string>{"mixer", "-R", "-D", "1"}));
  EXPECT_EQ(started[2], (std::vector<std::string>{"mixer", "-R", "-D-2"}));
}

TEST_F(AudioService_, StopserverWritesItsFiveMarkersWhateverTheCapturesAnswer) {
  start();
  std::filesystem::remove(t.dir / "exitlog.txt");
  audio().stopserver();
  std::string log = test::Process::slurp(t.dir / "exitlog.txt");
  std::vector<std::string> markers;
  for (std::size_t at = 0; (at = log.find(" - 0 - ", at)) != std::string::npos;) {
    at += 7;
    markers.push_back(log.substr(at, log.find("\r\n", at) - at));
  }
  EXPECT_EQ(markers, (std::vector<std::string>{"stopserver_start", "stopserver_start1", "stopserver_start2",
                                                "stopserver_start3", "stopserver_end"}));
  for (int k = 0; k < kChannels; ++k) EXPECT_FALSE(cap(k).active());
}

}  // namespace
}  // namespace quillon
