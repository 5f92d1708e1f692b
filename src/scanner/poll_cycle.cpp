// Scanner poll cycle: the poller that sends one query at a time, the busy release, the reply
// parser that ends each exchange, and the display-frame processing.

#include <string>

#include "scanner/reply_parser.hpp"
#include "scanner/scanner_link.hpp"

namespace quillon {

using scanner::ChannelWiring;

void ScannerLink::poller_tick(int channel) {
  ChannelWiring& w = row(channel);
  const std::size_t k = w.k;
  if (f_.pollbusy[k] == 1) return;
  ErrorScope err;

  // Whatever arrived since the last exchange ended is not a reply to anything.
  err.step([&] { (void)port(w).input(); });
  f_.scanbuf[k].clear();

  if (w.disables_on_port_failure && err.last() > 8000) err.step([&] { w.enable->set_value(0); });

  std::string lines;
  for (const ui::Label* field : w.fields) lines += field->caption() + "\r\n";
  lines += w.ngx + "0";
  err.step([&] { w.status_lines->set_text(lines); });

  // An exchange of a page command that ended without its reply being read (busy release).
  if (f_.pollstep[k] == kCommandStep) finish_page_command(w, "");
  if (send_page_command(w)) {
  } else if (const scanner::RotationStep* next = scanner::next_step(*w.rotation, f_.pollstep[k])) {
    f_.pollstep[k] = next->next;
    if (next->next == 1) ++f_.counters[k].poll_rotations;  // the display query starts a rotation
    const std::string query = std::string(next->query) + "\r";
    err.step([&] { port(w).output(query); });
  }
  err.step([&] { w.step_label->set_caption(std::to_string(f_.pollstep[k])); });

  f_.pollbusy[k] = 1;
  err.step([&] { w.watchdog->set_timer_enabled(true); });
}

void ScannerLink::busy_release_tick(int channel) {
  ChannelWiring& w = row(channel);
  if (!w.watchdog->timer_enabled() && f_.pollbusy[w.k] == 1) f_.pollbusy[w.k] = 0;
}

void ScannerLink::end_exchange(ChannelWiring& w) {
  f_.pollbusy[w.k] = 0;
  f_.scanbuf[w.k].clear();
  w.watchdog->set_timer_enabled(false);
}

void ScannerLink::parser_tick(int channel) {
  ChannelWiring& w = row(channel);
  std::string& buf = f_.scanbuf[w.k];
  ErrorScope err;

  bool open = false;
  err.step([&] { open = port(w).port_open(); });
  if (!open) return;

  err.step([&] {
    buf += port(w).input();
    // A line that never ends (broken cable, runaway radio) keeps only its newest text.
    if (buf.size() > scanner::kScanbufLimit) buf.erase(0, buf.size() - scanner::kScanbufLimit);
  });
  if (buf.empty()) return;

  err.step([&] { w.lamp_first->set_fill_color(ui::kGreen); });
  err.step([&] { w.lamp_second->set_fill_color(w.lamp_first->fill_color().value_or(ui::kGreen)); });

  if (f_.pollstep[w.k] == kCommandStep) {
    const auto cr = buf.find('\r');
    if (cr == std::string::npos) return;
    finish_page_command(w, buf.substr(0, cr));
    end_exchange(w);
    return;
  }

  const scanner::ReplyReading reading = scanner::read_reply(f_.pollstep[w.k], buf);
  if (reading.display_frame) err.step([&] { process_lcd(channel); });
  for (std::size_t i = 0; i < reading.fields.size(); ++i)
    if (reading.fields[i]) err.step([&] { w.fields[i]->set_caption(*reading.fields[i]); });
  if (reading.ends_exchange) {
    if (on_reply) err.step([&] { on_reply(channel, f_.pollstep[w.k], buf); });
    end_exchange(w);
  }
}

void ScannerLink::process_lcd(int channel) {
  ChannelWiring& w = row(channel);
  std::string& buf = f_.scanbuf[w.k];
  buf = scanner::cut_display_frame(buf);
  w.lcd->set_text(buf);
}

}  // namespace quillon
