#include "scanner/scanner_link.hpp"

namespace quillon {

ScannerLink::ScannerLink(Frmserver& form, settings::SettingsStore& settings)
    : f_(form), settings_(settings), channels_(scanner::build_channel_table(form)) {
  for (auto& w : channels_) {
    const int n = w.channel;
    w.poller->on_tick([this, n] { poller_tick(n); });
    w.parser->on_tick([this, n] { parser_tick(n); });
    w.watchdog->on_tick([this, n] { watchdog_tick(n); });
    w.busy_release->on_tick([this, n] { busy_release_tick(n); });
    w.apply->on_click = [this, n] { return apply(n); };
  }
  f_.Command11.on_click = [this] { return Command11_Click(); };
}

}  // namespace quillon
