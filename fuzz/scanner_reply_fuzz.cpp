// libFuzzer target for what a radio sends: the input is the byte stream on the serial line,
// delivered in pieces with pauses between them, while the real poll cycle of one channel (poller,
// reply parser, display-frame cut, silence watchdog, busy release) runs in virtual time.
//
// Input: byte 0 picks the channel (bits 0-1), where the stream is cut and the phase of the
// busy-release timer (bits 2-7); the rest is the stream. Every input starts from a reset channel. Checked: the receive buffer stays bounded, and every text the parser shows
// (display frame, squelch, tone and delay fields) is a piece of what the radio actually sent
// (or, for the display, the watchdog's silence message).
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "core/virtual_event_loop.hpp"
#include "scanner/reply_parser.hpp"
#include "scanner/scanner_link.hpp"
#include "settings/registry.hpp"
#include "support/fakes.hpp"

using namespace quillon;

namespace {

struct Rig {
  VirtualEventLoop loop;
  std::array<test::FakeSerialPort, 4> ports;
  test::FakeSocketFactory sockets;
  std::filesystem::path dir = fuzz::private_dir("scanner");
  std::unique_ptr<Frmserver> form;
  std::unique_ptr<settings::RegistryStore> registry;
  std::unique_ptr<settings::SettingsStore> settings;
  std::unique_ptr<ScannerLink> link;

  Rig() {
    PlatformObjects p;
    p.sockets = &sockets;
    for (std::size_t k = 0; k < 4; ++k) p.comm1[k] = &ports[k];
    form = std::make_unique<Frmserver>(loop, p);
    registry = std::make_unique<settings::RegistryStore>(dir / "registry");
    settings = std::make_unique<settings::SettingsStore>(*registry);
    link = std::make_unique<ScannerLink>(*form, *settings);
    // Only the channel under test runs; every other timer of the window stays quiet.
    for (ui::Control* c : form->window.controls())
      if (auto* t = dynamic_cast<ui::Timer*>(c)) t->set_timer_enabled(false);
    loop.run_ready();
  }

  // Puts the channel back where a fresh one starts, so that nothing an earlier input left (the
  // buffer, the poll step, a busy poller, a closed port, the timers' phase) changes what this
  // input does, and a failing input replays by itself. The long busy-release timer starts
  // `phase_ms` before the stream does, so that inputs can reach its turn too.
  void select(int channel, int phase_ms) {
    for (int n = 1; n <= 4; ++n) {
      const auto& w = link->channel(n);
      for (ui::Timer* t : {w.poller, w.parser, w.watchdog, w.busy_release}) t->set_timer_enabled(false);
    }
    const auto& w = link->channel(channel);
    const std::size_t k = w.k;
    test::FakeSerialPort& port = ports[k];
    if (!port.port_open()) port.set_port_open(true);
    port.rx.clear();
    port.written.clear();
    form->scanbuf[k].clear();
    form->pollstep[k] = 0;
    form->pollbusy[k] = 0;
    w.lcd->set_text("");
    for (ui::Label* f : w.fields) f->set_caption("");
    w.busy_release->set_timer_enabled(true);
    loop.advance(Millis{phase_ms % std::max(1, w.busy_release->interval())});
    for (ui::Timer* t : {w.poller, w.parser, w.watchdog}) t->set_timer_enabled(true);
  }
};

Rig& rig() {
  static Rig r;
  return r;
}

bool piece_of(std::string_view stream, std::string_view text) { return text.empty() || stream.find(text) != std::string_view::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  Rig& r = rig();
  const int channel = 1 + (data[0] & 3);
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
  r.select(channel, 94 * (data[0] >> 2));
  const auto& w = r.link->channel(channel);
  test::FakeSerialPort& port = r.ports[w.k];

  fuzz::Pieces pieces(stream, static_cast<std::uint8_t>(data[0] >> 2), 48, 40);
  std::string_view piece;
  int gap = 0;
  while (pieces.next(piece, gap)) {
    if (port.port_open()) port.rx.append(piece);  // a closed port hears nothing
    r.loop.advance(Millis{gap});
    if (r.form->scanbuf[w.k].size() > scanner::kScanbufLimit) fuzz::fail("receive buffer beyond its bound");
  }
  r.loop.advance(Millis{100});

  const std::string& lcd = w.lcd->text();
  if (lcd != w.silence && !piece_of(stream, lcd)) fuzz::fail("display text that the radio did not send");
  if (lcd.find("LCD1") != std::string::npos && (lcd.rfind("LCD1", 0) != 0 || lcd.size() > scanner::kDisplayFrameLimit))
    fuzz::fail("display frame not cut at its first line");
  const std::string squelch = w.fields[2]->caption();
  if (!squelch.empty() && (squelch.rfind("SQSTAT$=", 0) != 0 || !piece_of(stream, std::string_view(squelch).substr(8))))
    fuzz::fail("squelch field that the radio did not send");
  for (int f : {6, 7})
    if (!piece_of(stream, w.fields[static_cast<std::size_t>(f)]->caption())) fuzz::fail("field text that the radio did not send");
  for (const std::string& q : port.written)
    if (q.size() < 2 || q.back() != '\r' || q.find('\r') != q.size() - 1) fuzz::fail("query not sent whole");
  return 0;
}
