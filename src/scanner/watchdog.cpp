// Serial silence watchdog: ends an unanswered exchange once a second, reopens the port and
// tells clients that the scanner does not communicate.

#include "scanner/scanner_link.hpp"

namespace quillon {

void ScannerLink::watchdog_tick(int channel) {
  scanner::ChannelWiring& w = row(channel);
  ErrorScope err;
  ++f_.counters[w.k].silences;
  f_.scanbuf[w.k].clear();
  f_.pollbusy[w.k] = 0;
  if (f_.pollstep[w.k] == kCommandStep) finish_page_command(w, "");  // the radio said nothing
  if (w.watchdog_resets_step) f_.pollstep[w.k] = 0;

  // Closing and reopening with the same number and settings is also how a device that was
  // unplugged, or missing at start-up, is picked up again once it is back. Only a channel in
  // service does so: one whose poller is stopped (switched off, silenced for the autodetect, in
  // the middle of an Apply) holds no port, and its port object may be lent to the autodetect.
  if (w.poller->timer_enabled()) {
    SerialPort& p = port(w);
    err.step([&] { p.set_port_open(false); });
    err.step([&] { p.set_port_open(true); });
  }

  err.step([&] { w.lamp_first->set_fill_color(ui::kRed); });
  err.step([&] { w.lamp_second->set_fill_color(w.lamp_first->fill_color().value_or(ui::kRed)); });
  err.step([&] { w.lcd->set_text(w.silence); });
}

}  // namespace quillon
