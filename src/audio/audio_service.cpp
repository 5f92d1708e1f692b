#include "audio/audio_service.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "core/exit_log.hpp"
#include "netdata/data_service.hpp"
#include "core/wait.hpp"
#include "settings/catalogue.hpp"

extern char** environ;

namespace quillon {

namespace {

// The number a field holds, as the window reads it: leading decimal number, 0 without one.
double field_number(const std::string& text) {
  const double v = settings::leading_number(text);
  if (!std::isfinite(v)) return 0.0;
  return std::clamp(v, -2.0e9, 2.0e9);
}

// A port field or a stored list position made whole, as every typed or stored number is (a port
// binds the same on Apply, at the periodic reset and after a restart); 0 when it is none.
int whole_of(const std::string& text) { return settings::whole_in_range(text, INT32_MIN, INT32_MAX, 0); }

int lamp_colour(bool good) { return good ? ui::kGreen : ui::kRed; }

const char* bool_word(bool b) { return b ? "True" : "False"; }

}  // namespace

int rate_of_position(int position) {
  switch (position) {
    case 0: return 8000;
    case 1: return 11025;
    case 2: return 22050;
    case 3: return 44100;
    default: return 0;
  }
}

std::string volume_command_line(const std::string& mixer, int list_position) {
  const int n = list_position - 1;
  return mixer + (n >= 0 ? " " : "") + std::to_string(n);
}

std::vector<std::string> split_command_line(const std::string& line) {
  std::vector<std::string> words;
  std::string w;
  for (char c : line) {
    if (c == ' ' || c == '\t') {
      if (!w.empty()) words.push_back(std::move(w));
      w.clear();
    } else {
      w.push_back(c);
    }
  }
  if (!w.empty()) words.push_back(std::move(w));
  return words;
}

bool start_program_detached(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The program gets standard input, output and error and nothing else of ours: a listener it
  // inherited would outlive a restart of the server and keep its ports taken.
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  // Reap it when it ends so it leaves no zombie; nobody waits for it otherwise.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

AudioService::AudioService(Frmserver& form, settings::SettingsStore& settings, DataService& data, ExitLog& log)
    : f_(form), settings_(settings), data_(data), log_(log) {
  const char* m = std::getenv("QUILLON_MIXER");
  mixer = (m && *m) ? m : kDefaultMixer;
  ch_ = {{
      {0, &f_.Command3, -1, 0, 2, &f_.Text24[1], "audiodevice1", "audioset1"},
      {1, &f_.Command6, 0, 4, 5, &f_.Text15[1], "audiodevice2", "audioset2"},
      {2, &f_.Command7, 1, 6, 7, &f_.Text19[1], "audiodevice3", "audioset3"},
      {3, &f_.Command8, 2, 8, 9, &f_.Text25[1], "audiodevice4", "audioset4"},
  }};
  for (const Channel& ch : ch_) {
    const int k = ch.k;
    ch.apply->on_click = [this, k] { return network_apply(k); };
    f_.Command12[k].on_click = [this, k] { return Command12_Click(k); };
    f_.Command13[k].on_click = [this, k]() -> Task {
      Command13_Click(k);
      return completed_task();
    };
  }
  f_.Command9.on_click = [this] { return Command9_Click(); };
  f_.Timer6.on_tick([this] { monitor_tick(); });
  f_.Timer12.on_tick([this] { count_tick(); });
  f_.Timer28.on_tick_async([this] { return recovery_tick(); });
}

bool AudioService::switched_on(const Channel& ch) const {
  return ch.enable_switch < 0 || f_.Check1[ch.enable_switch].value() == 1;
}

// --- Chain set-up ----------------------------------------------------------------------------

void AudioService::init_audio() {
  ErrorScope err;
  for (const Channel& ch : ch_) {
    err.step([&] { connectaudio(capture(ch), codec(ch)); });
    err.step([&] { connectaudio(codec(ch), server(ch)); });
  }
  for (const Channel& ch : ch_) {
    int p = 0;
    err.step([&] {
      p = whole_of(settings_.getreg(ch.device_setting, settings::default_of(ch.device_setting)));
    });
    if (p < 0) p = 0;
    err.step([&] { f_.Combo13[ch.k].set_list_index(p); });
    if (p <= 4) err.step([&] { capture(ch).set_device_id(p - 1); });
  }
  for (const Channel& ch : ch_) {
    err.step([&] {
      const int p = whole_of(settings_.getreg(ch.rate_setting, settings::default_of(ch.rate_setting)));
      f_.Combo10[ch.k].set_list_index(p);
    });
  }
  for (const Channel& ch : ch_) {
    const int rate = rate_of_position(f_.Combo10[ch.k].list_index());
    if (rate != 0) err.step([&] { capture(ch).set_pcm_samples_per_sec(rate); });
  }
  for (const Channel& ch : ch_) err.step([&] { capture(ch).set_active(true); });
}

// --- Monitor, counts, recovery -----------------------------------------------------------------

void AudioService::monitor_tick() {
  ErrorScope err;
  for (const Channel& ch : ch_)
    err.step([&] { f_.comstat1[ch.k].set_fill_color(lamp_colour(f_.comm1[static_cast<std::size_t>(ch.k)]->port_open())); });
  for (const Channel& ch : ch_) err.step([&] { f_.AUDIOSTAT[ch.k].set_fill_color(lamp_colour(capture(ch).active())); });
  for (const Channel& ch : ch_) err.step([&] { f_.AUDIOSTAT[ch.k + 4].set_fill_color(lamp_colour(codec(ch).active())); });
  for (const Channel& ch : ch_) err.step([&] { f_.AUDIOSTAT[ch.k + 8].set_fill_color(lamp_colour(server(ch).active())); });
  auto joined = [&](auto&& active_of) {
    std::string s;
    for (const Channel& ch : ch_) {
      if (!s.empty()) s += "-";
      s += bool_word(active_of(ch));
    }
    return s;
  };
  err.step([&] { f_.audiostatus = joined([&](const Channel& ch) { return capture(ch).active(); }); });
  err.step([&] { f_.codecstatus = joined([&](const Channel& ch) { return codec(ch).active(); }); });
  err.step([&] { f_.ipstatus = joined([&](const Channel& ch) { return server(ch).active(); }); });
  for (const Channel& ch : ch_) err.step([&] { f_.AUDIOlink[ch.k].set_fill_color(lamp_colour(server(ch).client_count() > 0)); });
  for (const Channel& ch : ch_)
    err.step([&] { f_.shape2[ch.k].set_fill_color(lamp_colour(field_number(ch.socket_state->text()) == sockstate::connected)); });
  err.step([&] { data_.slot_upkeep(); });
  for (const Channel& ch : ch_)
    err.step([&] { f_.Label22[ch.k].set_caption(std::to_string(f_.numcom[static_cast<std::size_t>(ch.k)])); });
}

void AudioService::count_tick() {
  ErrorScope err;
  for (const Channel& ch : ch_)
    err.step([&] {
      f_.Text17[ch.k].set_text(std::to_string(server(ch).client_count()) + "/" + std::to_string(server(ch).max_clients()));
    });
  err.step([&] {
    const int proto = server(ch_[0]).proto();
    if (proto == 0) f_.Label13.set_caption("TCP");
    if (proto == 1) f_.Label13.set_caption("UDP");
  });
  for (const Channel& ch : ch_) err.step([&] { f_.Label14[ch.k].set_caption(std::to_string(server(ch).status_value())); });
}

void AudioService::rearm_listener(const Channel& ch) {
  ErrorScope err;
  err.step([&] { listener(ch).close(); });
  err.step([&] { listener(ch).set_local_port(whole_of(f_.portip1[ch.data_port_field].text())); });
  err.step([&] { listener(ch).listen(); });
}

Task AudioService::restart_capture(const Channel& ch) {
  ErrorScope err;
  err.step([&] { capture(ch).set_active(false); });
  float one = 1.0f;
  co_await wait_seconds(f_.loop(), one);
  err.step([&] { capture(ch).set_active(true); });
}

Task AudioService::recovery_tick() {
  ErrorScope err;
  rearm_listener(ch_[0]);
  for (int i = 1; i < kChannels; ++i) {
    const Channel& ch = ch_[static_cast<std::size_t>(i)];
    if (!switched_on(ch)) continue;
    rearm_listener(ch);
    bool restart = false;
    err.step([&] {
      restart = server(ch).client_count() > 0 && f_.numcom[static_cast<std::size_t>(ch.k)] == 0 && capture(ch).active();
    });
    if (restart) co_await restart_capture(ch);
  }
  const Channel& one = ch_[0];
  bool restart = false;
  err.step([&] { restart = server(one).client_count() > 0 && f_.numcom[0] == 0 && capture(one).active(); });
  if (restart) co_await restart_capture(one);
  restart = false;
  err.step([&] {
    restart = f_.numcom[0] > 0 && f_.numcom[0] < server(one).client_count() && capture(one).active();
  });
  if (restart) {
    f_.List1.add_item("audio reset client numbers");
    co_await restart_capture(one);
  }
}

// --- Operator actions --------------------------------------------------------------------------

Task AudioService::network_apply(int channel_index) {
  if (channel_index < 0 || channel_index >= kChannels) co_return;
  const Channel& ch = ch_[static_cast<std::size_t>(channel_index)];
  ErrorScope err;
  bool in_use = false;
  auto note = [&](bool ok) {
    if (!ok && err.last() == errc::address_in_use) in_use = true;
  };
  note(err.step([&] { listener(ch).close(); }));
  note(err.step([&] { listener(ch).set_local_port(whole_of(f_.portip1[ch.data_port_field].text())); }));
  if (switched_on(ch)) note(err.step([&] { listener(ch).listen(); }));
  if (ch.enable_switch >= 0 && in_use) co_await f_.window.msgbox("Selected port already in use!");
  err.step([&] { capture(ch).set_active(false); });
  float one = 1.0f;
  co_await wait_seconds(f_.loop(), one);
  err.step([&] {
    const int p = f_.Combo13[ch.k].list_index();
    // Every device the list shows can be chosen (its last entry, position 6, included).
    if (p <= 0) capture(ch).set_device_id(-1);
    else if (p <= 6) capture(ch).set_device_id(p - 1);
  });
  err.step([&] {
    const int rate = rate_of_position(f_.Combo10[ch.k].list_index());
    capture(ch).set_pcm_samples_per_sec(rate != 0 ? rate : 22050);
  });
  err.step([&] {
    server(ch).set_proto(0);
    if (f_.Option1[0].value()) server(ch).set_proto(1);
  });
  err.step([&] { server(ch).set_port(settings::number_text(field_number(f_.portip1[ch.audio_port_field].text()))); });
  err.step([&] { capture(ch).set_active(true); });
}

Task AudioService::Command12_Click(int index) {
  if (index < 0 || index >= kChannels) co_return;
  const Channel& ch = ch_[static_cast<std::size_t>(index)];
  ErrorScope err;
  err.step([&] { capture(ch).set_active(false); });
  co_await ch.apply->click();
  const int rate = rate_of_position(f_.Combo10[ch.k].list_index());
  if (rate != 0) err.step([&] { capture(ch).set_pcm_samples_per_sec(rate); });
  err.step([&] { capture(ch).set_active(true); });
}

void AudioService::Command13_Click(int index) {
  if (index < 0 || index >= kChannels) return;
  ErrorScope err;
  err.step([&] {
    start_program(split_command_line(volume_command_line(mixer, f_.Combo13[index].list_index())));  // failure ignored
  });
}

Task AudioService::Command9_Click() {
  co_await restart_capture(ch_[0]);
  for (int i = 1; i < kChannels; ++i) {
    const Channel& ch = ch_[static_cast<std::size_t>(i)];
    if (switched_on(ch)) co_await restart_capture(ch);
  }
}

void AudioService::stopserver() {
  ErrorScope err;
  const char* markers[] = {"stopserver_start", "stopserver_start1", "stopserver_start2", "stopserver_start3"};
  for (const Channel& ch : ch_) {
    err.step([&] { log_.writeexitlog(markers[ch.k]); });
    err.step([&] { capture(ch).set_active(false); });
  }
  err.step([&] { log_.writeexitlog("stopserver_end"); });
}

}  // namespace quillon
