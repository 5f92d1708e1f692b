// Channel serial ports: start-up configuration, the per-channel Apply action and STOPCOM.

#include <string>

#include "scanner/scanner_link.hpp"
#include "settings/catalogue.hpp"

namespace quillon {

using scanner::ChannelWiring;

// A stored list position: its leading number made whole, 0 when that falls outside 0..highest.
int ScannerLink::read_position(const char* name, int highest) {
  return settings::whole_in_range(settings_.getreg(name, settings::default_of(name)), 0, highest, 0);
}

void ScannerLink::init_comport() {
  ErrorScope err;
  ChannelWiring& one = row(1);
  SerialPort& p = port(one);
  const int comport = read_position(one.port_setting, 8);
  const int baudrate = read_position(one.speed_setting, 2);
  err.step([&] { p.set_comm_port(comport + 1); });
  err.step([&] { p.set_settings(scanner::kDefaultLineSettings); });
  err.step([&] { p.set_settings(scanner::kLineSettings[baudrate]); });
  err.step([&] {
    if (!p.port_open()) p.set_port_open(true);
  });
  err.step([&] { one.port_list->set_list_index(comport); });
  err.step([&] { one.speed_list->set_list_index(baudrate); });

  for (int n = 2; n <= kChannels; ++n) {
    ChannelWiring& w = row(n);
    const int port_pos = read_position(w.port_setting, 8);
    const int speed_pos = read_position(w.speed_setting, 2);
    err.step([&] { w.port_list->set_list_index(port_pos); });
    err.step([&] { w.speed_list->set_list_index(speed_pos); });
  }

  // Setting a switch to a new state runs the channel's enable action at once.
  for (int n = 2; n <= kChannels; ++n) {
    ChannelWiring& w = row(n);
    const double v = settings::leading_number(settings_.getreg(w.switch_setting, settings::default_of(w.switch_setting)));
    if (v <= 0.0) err.step([&] { w.enable->set_value(0); });
    if (v >= 1.0) err.step([&] { w.enable->set_value(1); });
  }
}

Task ScannerLink::apply(int channel) {
  ChannelWiring& w = row(channel);
  SerialPort& p = port(w);
  ErrorScope err;
  auto switched_on = [&] { return !w.enable || w.enable->value() == 1; };

  w.poller->set_timer_enabled(false);
  w.parser->set_timer_enabled(false);
  err.step([&] {
    if (p.port_open()) p.set_port_open(false);
  });
  err.step([&] { p.set_comm_port(w.port_list->list_index() + 1); });
  err.step([&] { p.set_settings(scanner::kDefaultLineSettings); });
  err.step([&] {
    const int s = w.speed_list->list_index();
    if (s >= 0 && s <= 2) p.set_settings(scanner::kLineSettings[s]);
  });
  if (switched_on()) err.step([&] { p.set_port_open(true); });

  if (w.apply_report == scanner::ApplyReport::ErrorPrefix) {
    if (err.last() == errc::port_not_available) {
      co_await f_.window.msgbox("Selected comport not available");
      err.clear();
    }
    if (err.last() > 0) co_await f_.window.msgbox("error: " + std::to_string(err.last()));
  } else {
    if (err.last() == errc::port_not_available) co_await f_.window.msgbox("Selected comport not available");
    if (err.last() == errc::port_already_open) co_await f_.window.msgbox("Selected comport already open");
    if (err.last() > 0) co_await f_.window.msgbox(std::to_string(err.last()));
  }

  if (switched_on()) {
    w.poller->set_timer_enabled(true);
    w.parser->set_timer_enabled(true);
  }
}

void ScannerLink::STOPCOM(int poort) {
  if (poort < 1 || poort > kChannels) return;
  ChannelWiring& w = row(poort);
  ErrorScope err;
  for (ui::Timer* t : w.stopcom_timers) err.step([&] { t->set_timer_enabled(false); });
  err.step([&] {
    SerialPort& p = port(w);
    if (p.port_open()) p.set_port_open(false);
  });
}

}  // namespace quillon
