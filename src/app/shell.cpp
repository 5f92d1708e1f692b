#include "app/shell.hpp"

#include <cmath>
#include <cstdio>

#include "audio/audio_service.hpp"
#include "netdata/data_service.hpp"
#include "scanner/scanner_link.hpp"
#include "settings/catalogue.hpp"

namespace quillon {

namespace {

// The enable switch of channels 2..4 and what it starts, in start order.
struct SwitchRow {
  int channel;
  ui::ComboBox& (*port_list)(Frmserver&);
  ui::ComboBox& (*speed_list)(Frmserver&);
  ui::Timer& (*first)(Frmserver&);
  ui::Timer& (*second)(Frmserver&);
};

const SwitchRow kSwitches[3] = {
    {2, [](Frmserver& f) -> ui::ComboBox& { return f.Combo5; }, [](Frmserver& f) -> ui::ComboBox& { return f.Combo4; },
     [](Frmserver& f) -> ui::Timer& { return f.Timer14; }, [](Frmserver& f) -> ui::Timer& { return f.Timer15; }},
    {3, [](Frmserver& f) -> ui::ComboBox& { return f.Combo6; }, [](Frmserver& f) -> ui::ComboBox& { return f.Combo7; },
     [](Frmserver& f) -> ui::Timer& { return f.Timer16; }, [](Frmserver& f) -> ui::Timer& { return f.Timer17; }},
    {4, [](Frmserver& f) -> ui::ComboBox& { return f.Combo8; }, [](Frmserver& f) -> ui::ComboBox& { return f.Combo9; },
     [](Frmserver& f) -> ui::Timer& { return f.Timer20; }, [](Frmserver& f) -> ui::Timer& { return f.Timer21; }},
};

constexpr const char* kLineSettings[3] = {"4800,n,8,1", "9600,n,8,1", "19200,n,8,1"};

// A number as the save writes it: whole numbers without decimals.
std::string number_text(double v) {
  if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15) return std::to_string(static_cast<long long>(v));
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

}  // namespace

Shell::Shell(Frmserver& form, settings::SettingsStore& settings, ExitLog& log, ScannerLink& scanner,
             DataService& data, AudioService& audio)
    : f_(form), settings_(settings), log_(log), scanner_(scanner), data_(data), audio_(audio) {
  for (int k = 0; k < 3; ++k) f_.Check1[k].on_click = [this, k] { Check1_Click(k); };
  f_.mnu_exit.on_click = [this]() -> Task {
    // Closing runs as an event of its own, after the click has returned.
    f_.loop().post([this] { close_window(); });
    return completed_task();
  };
  f_.mnu_about.on_click = [this]() -> Task {
    f_.frmabout.set_visible(true);
    return completed_task();
  };
  f_.cmdOk.on_click = [this]() -> Task {
    f_.frmabout.set_visible(false);
    return completed_task();
  };
  f_.cmdclr.on_click = [this]() -> Task {
    f_.List1.clear();
    return completed_task();
  };
}

// --- Start-up --------------------------------------------------------------------------------

void Shell::Form_Load() {
  for (int k = 1; k <= 3; ++k) f_.text5[k].set_text("");
  ErrorScope err;
  err.step([&] { log_.remove(); });
  f_.clientslots = 4;
  for (int k = 0; k < 3; ++k) err.step([&] { f_.Check1[k].set_enabled(true); });
  for (int k = 1; k <= 3; ++k) {
    err.step([&] { f_.Frame5[k].set_enabled(true); });
    err.step([&] { f_.Frame6[k].set_enabled(true); });
  }
  for (int k = 0; k < kChannels; ++k) err.step([&] { f_.ipserv[static_cast<std::size_t>(k)]->set_max_clients(f_.clientslots + 2); });
  f_.text5[0].set_text("");
  f_.pollstep[0] = 1;
  err.step([&] { init_ids(); });
  err.step([&] { init_now(); });
  err.step([&] { scanner_.init_comport(); });
  err.step([&] { data_.init_ip(); });
  err.step([&] { audio_.init_audio(); });
  err.step([&] { f_.Timer4.set_timer_enabled(true); });
  err.step([&] { f_.Timer5.set_timer_enabled(true); });
  for (const auto& row : kSwitches) {
    err.step([&] {
      if (f_.Check1[row.channel - 2].value() == 1) {
        row.first(f_).set_timer_enabled(true);
        row.second(f_).set_timer_enabled(true);
      }
    });
  }
}

void Shell::init_ids() { f_.Text11[0].set_text(settings_.getreg("serverID1", settings::default_of("serverID1"))); }

void Shell::init_now() {
  ErrorScope err;
  for (ui::ComboBox* c : {&f_.Combo1, &f_.Combo5, &f_.Combo6, &f_.Combo8})
    for (const char* e : {"1", "2", "3", "4", "5", "6", "7", "8"}) err.step([&] { c->add_item(e); });
  for (ui::ComboBox* c : {&f_.Combo2, &f_.Combo4, &f_.Combo7, &f_.Combo9})
    for (const char* e : {"4800", "9600", "19200"}) err.step([&] { c->add_item(e); });
  for (int k = 0; k < kChannels; ++k)
    for (const char* e : {"8000", "11025", "22050", "44100"}) err.step([&] { f_.Combo10[k].add_item(e); });
  for (int k = 0; k < kChannels; ++k) {
    err.step([&] { f_.Combo13[k].add_item("Windows Default"); });
    // The device names come from channel 2's capture component, asked once per list.
    for (int n = 0; n <= 5; ++n) err.step([&] { f_.Combo13[k].add_item(f_.wavein[1]->device_name(n)); });
  }
  for (int k = 1; k <= 3; ++k) {
    err.step([&] { f_.Frame5[k].set_geometry(f_.Frame5[0].geometry()); });
    err.step([&] { f_.Frame6[k].set_geometry(f_.Frame6[0].geometry()); });
  }
  for (int i = 5; i <= 7; ++i) {
    err.step([&] {
      auto g = f_.comdata[i].geometry();
      g.left = f_.comdata[4].geometry().left;
      g.top = f_.comdata[4].geometry().top;
      f_.comdata[i].set_geometry(g);
    });
  }
}

// --- Channel enable switches -----------------------------------------------------------------

void Shell::Check1_Click(int index) {
  if (index < 0 || index > 2) return;
  const SwitchRow& row = kSwitches[index];
  const int c = row.channel;
  const auto ci = static_cast<std::size_t>(c - 1);
  ErrorScope err;
  if (f_.Check1[index].value() == 0) {
    err.step([&] { f_.wavein[ci]->set_active(false); });
    err.step([&] { scanner_.STOPCOM(c); });
    err.step([&] { stopwinsock(c); });
    err.step([&] { f_.comm1[ci]->set_port_open(false); });
    err.step([&] { f_.Timer7[c - 1].set_timer_enabled(false); });
  }
  if (f_.Check1[index].value() == 1) {
    SerialPort& port = *f_.comm1[ci];
    err.step([&] { f_.wavein[ci]->set_active(true); });
    err.step([&] {
      if (port.port_open()) port.set_port_open(false);
    });
    err.step([&] { port.set_comm_port(row.port_list(f_).list_index() + 1); });
    err.step([&] { port.set_settings("19200,n,8,1"); });
    err.step([&] {
      const int s = row.speed_list(f_).list_index();
      if (s >= 0 && s <= 2) port.set_settings(kLineSettings[s]);
    });
    err.step([&] { port.set_port_open(true); });
    err.step([&] { f_.Timer7[c - 1].set_timer_enabled(true); });
    err.step([&] { row.first(f_).set_timer_enabled(true); });
    err.step([&] { row.second(f_).set_timer_enabled(true); });
    err.step([&] { (*f_.winsock[ci])[0].listen(); });
  }
}

// --- Settings save ---------------------------------------------------------------------------

void Shell::schrijfregister() {
  auto save = [&](std::string_view name, const std::string& text) {
    ErrorScope err;
    err.step([&] { settings_.savereg(name, text + "x"); });
  };
  auto port_field = [&](int i) -> std::string {
    return f_.portip1.has(i) ? number_text(settings::leading_number(f_.portip1[i].text())) : std::string("0");
  };
  auto list = [](const ui::ComboBox& c) { return std::to_string(c.list_index()); };

  settings_.store().begin_batch();
  log_.writeexitlog("writereg_start");
  save("udppacket", f_.Option1[0].value() ? "True" : "False");
  save("comport", list(f_.Combo1));
  save("baudrate", list(f_.Combo2));
  save("comport2", list(f_.Combo5));
  save("baudrate2", list(f_.Combo4));
  save("comport3", list(f_.Combo6));
  save("baudrate3", list(f_.Combo7));
  save("comport4", list(f_.Combo8));
  save("baudrate4", list(f_.Combo9));
  save("serverID1", f_.Text11[0].text());
  log_.writeexitlog("writereg_start1");
  save("tcpport1", port_field(0));
  save("tcpport2", port_field(1));
  save("tcpport3", port_field(2));
  save("tcpport4", port_field(4));
  save("tcpport5", port_field(5));
  log_.writeexitlog("writereg_start2");
  save("tcpport6", port_field(6));
  save("tcpport7", port_field(7));
  save("tcpport8", port_field(8));
  save("tcpport9", port_field(9));
  log_.writeexitlog("writereg_start3");
  save("timer1", std::to_string(f_.Timer1[0].interval()));
  save("timer2", std::to_string(f_.Timer2.interval()));
  save("timer4", std::to_string(f_.Timer4.interval()));
  save("timer5", std::to_string(f_.Timer5.interval()));
  save("timer6", std::to_string(f_.Timer6.interval()));
  save("timer7", std::to_string(f_.Timer7[0].interval()));
  log_.writeexitlog("writereg_start4");
  for (int k = 0; k < kChannels; ++k) save("audiodevice" + std::to_string(k + 1), list(f_.Combo13[k]));
  log_.writeexitlog("writereg_start5");
  for (int k = 0; k < 3; ++k) save("channel" + std::to_string(k + 2) + "ena", std::to_string(f_.Check1[k].value()));
  for (int k = 0; k < kChannels; ++k) save("audioset" + std::to_string(k + 1), list(f_.Combo10[k]));
  log_.writeexitlog("writereg_start6");
  log_.writeexitlog("writereg_start7");
  log_.writeexitlog("writereg_start8");
  log_.writeexitlog("writereg_end");
  ErrorScope err;
  err.step([&] { settings_.store().commit_batch(); });
}

// --- Close request and shutdown --------------------------------------------------------------

void Shell::close_window() {
  if (closing_) return;
  closing_ = true;
  Form_QueryUnload();
  Form_Unload();
  if (on_closed) on_closed();
}

void Shell::Form_QueryUnload() {
  // The fault-dialog error mode of the desktop platform has no counterpart here.
  log_.writeexitlog("queryonload");
  schrijfregister();
}

void Shell::Form_Unload() {
  ErrorScope err;
  log_.writeexitlog("unload1");
  err.step([&] { schrijfregister(); });
  log_.writeexitlog("unload2");
  err.step([&] { stoptimers(); });
  log_.writeexitlog("unload3");
  err.step([&] { audio_.stopserver(); });
  log_.writeexitlog("unload4");
  err.step([&] { stopwinsock(1); });
  log_.writeexitlog("unload5");
  err.step([&] { stopwinsock(2); });
  log_.writeexitlog("unload6");
  err.step([&] { stopwinsock(3); });
  log_.writeexitlog("unload7");
  err.step([&] { stopwinsock(4); });
  log_.writeexitlog("unload8");
  log_.writeexitlog("unload-complete");
}

void Shell::stoptimers() {
  ErrorScope err;
  log_.writeexitlog("stoptimer_start");
  for (int k = 0; k < 4; ++k) err.step([&] { f_.Timer1[k].set_timer_enabled(false); });
  ui::Timer* order[] = {&f_.Timer3,  &f_.Timer6,    &f_.Timer9,    &f_.Timer7[0], &f_.Timer7[1], &f_.Timer7[2],
                        &f_.Timer7[3], &f_.Timer4,  &f_.Timer5,    &f_.Timer8,    &f_.Timer2,    &f_.Timer12,
                        &f_.Timer13, &f_.Timer14,   &f_.Timer15,   &f_.Timer16,   &f_.Timer17,   &f_.Timer18,
                        &f_.Timer19, &f_.Timer20,   &f_.Timer21,   &f_.Timer22,   &f_.Timer23,   &f_.Timer25};
  for (ui::Timer* t : order) err.step([&] { t->set_timer_enabled(false); });
  log_.writeexitlog("stoptimer_ends1");
  for (auto* port : f_.comm1)
    err.step([&] {
      if (port->port_open()) port->set_port_open(false);
    });
  log_.writeexitlog("stoptimer_ends2");
}

void Shell::stopwinsock(int waarde) {
  ErrorScope err;
  log_.writeexitlog("stopwinsocket");
  if (waarde < 1 || waarde > 4) return;
  const std::string c = std::to_string(waarde);
  SocketArray& arr = *f_.winsock[static_cast<std::size_t>(waarde - 1)];
  log_.writeexitlog("stopwinsocket_c" + c + "s");
  for (int i = 0; i <= f_.clientslots; ++i) err.step([&] { arr[i].close(); });
  log_.writeexitlog("stopwinsocket_c" + c + "e");
}

}  // namespace quillon
