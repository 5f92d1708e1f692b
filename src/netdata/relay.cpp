#include "netdata/relay.hpp"

#include <string>

#include "netdata/channels.hpp"

namespace quillon::netdata {

namespace {
constexpr long kFrameCountWrap = 100;  // framecount runs 1..100
constexpr char kCarriageReturn = '\r';
}  // namespace

Relay::Relay(Frmserver& form) : f_(form) {
  for (int k = 1; k <= kChannels; ++k) {
    f_.Text1[k - 1].on_change = [this, k] { write_command(k); };
    f_.Timer30[k - 1].on_tick([this, k] { send_tick(k); });
  }
}

void Relay::write_command(int channel) {
  ErrorScope err;
  err.step([&] {
    const std::string& command = f_.Text1[channel - 1].text();
    if (command.empty()) return;
    need(f_.comm1[static_cast<std::size_t>(channel - 1)]).output(command + kCarriageReturn);
  });
}

void Relay::send_tick(int channel) {
  const auto ci = static_cast<std::size_t>(channel - 1);
  ErrorScope err;
  if (channel == 1) err.step([&] { f_.Text10.set_text(f_.statusframe[0]); });
  long& count = f_.framecount[ci];
  count = count >= kFrameCountWrap ? 1 : count + 1;
  const std::string& frame = f_.statusframe[ci];
  SocketArray& arr = winsock(f_, channel);
  // Each slot on its own: a peer that vanished or stopped reading costs only its own send.
  for (int i = 1; i <= f_.clientslots; ++i) {
    const bool sent = err.step([&] {
      Socket& s = arr[i];
      if (s.state() != sockstate::connected) return;
      if (channel == 1)
        s.send_data(frame + "*" + std::to_string(i));
      else
        s.send_data(frame);
      ++f_.counters[ci].frames_sent;
    });
    if (!sent) count_send_failure(f_.counters[ci], err.last());
  }
}

}  // namespace quillon::netdata
