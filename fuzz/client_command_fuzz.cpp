// libFuzzer target for what data-port clients send: each piece of the input is one receive
// buffer of a channel (as a socket delivers it), followed by interpreter ticks in virtual time;
// scanner commands go through the relay to the channel's serial port.
//
// Input: byte 0 picks the channel (bits 0-1), how many clients channel 1 counts (bit 2), which
// slots are connected (bits 3-4) and where the buffers are cut (bits 5-7, with byte 1); the rest
// is what the clients send. Checked: channel 1's send period stays within its limits, and every
// text written to the radio is a client's command whole, without its "#", with one carriage
// return.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "netdata/channels.hpp"
#include "netdata/interpreter.hpp"
#include "netdata/relay.hpp"
#include "core/virtual_event_loop.hpp"
#include "support/fakes.hpp"

using namespace quillon;

namespace {

constexpr int kTick = 25;  // Timer1's period

struct Rig {
  VirtualEventLoop loop;
  std::array<test::FakeSerialPort, 4> ports;
  test::FakeSocketFactory sockets;
  std::unique_ptr<Frmserver> form;
  std::unique_ptr<netdata::CommandInterpreter> interpreter;
  std::unique_ptr<netdata::Relay> relay;

  Rig() {
    PlatformObjects p;
    p.sockets = &sockets;
    for (std::size_t k = 0; k < 4; ++k) p.comm1[k] = &ports[k];
    form = std::make_unique<Frmserver>(loop, p);
    interpreter = std::make_unique<netdata::CommandInterpreter>(*form);
    relay = std::make_unique<netdata::Relay>(*form);
    for (ui::Control* c : form->window.controls())
      if (auto* t = dynamic_cast<ui::Timer*>(c)) t->set_timer_enabled(false);
    form->clientslots = 4;
    for (int ch = 1; ch <= 4; ++ch)
      for (int i = 1; i <= 4; ++i) netdata::winsock(*form, ch).load(i);
    for (auto& port : ports) port.set_port_open(true);
    loop.run_ready();
    for (int k = 0; k < 4; ++k) periods[k] = form->Timer30[k].interval();
    audio_mode = form->Combo10[0].list_index();
  }

  std::array<int, 4> periods{};
  int audio_mode = 0;

  test::FakeSocket& slot(int channel, int i) { return static_cast<test::FakeSocket&>(netdata::winsock(*form, channel)[i]); }

  // Puts back what an earlier input may have changed (send periods, the audio selection, frame
  // counters, the tick timer's phase), so that a failing input replays by itself.
  void select(int channel, int numcom, int connected) {
    for (int k = 0; k < 4; ++k) {
      form->Timer1[k].set_timer_enabled(false);
      form->Timer30[k].set_interval(periods[k]);
      form->framecount[k] = 0;
    }
    form->Combo10[0].set_list_index(audio_mode);
    form->Timer1[channel - 1].set_timer_enabled(true);
    form->numcom[0] = numcom;
    for (int ch = 1; ch <= 4; ++ch)
      for (int i = 1; i <= 4; ++i) {
        slot(ch, i).st = i <= connected ? sockstate::connected : sockstate::closed;
        slot(ch, i).sent.clear();
      }
    for (auto& port : ports) port.written.clear();
    for (int k = 0; k < 4; ++k) {
      form->txtoutput[k].set_text("");
      form->Text1[k].set_text("");
    }
  }
};

Rig& rig() {
  static Rig r;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  Rig& r = rig();
  const int channel = 1 + (data[0] & 3);
  r.select(channel, (data[0] >> 2) & 1, 1 + ((data[0] >> 3) & 3));
  const std::string_view stream(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::uint8_t seed = static_cast<std::uint8_t>((data[0] >> 5) | (data[1] << 3));

  std::set<std::string, std::less<>> buffers;
  fuzz::Pieces pieces(stream, seed, 40, 2);
  std::string_view piece;
  int ticks = 0;
  while (pieces.next(piece, ticks)) {
    buffers.emplace(piece);
    r.slot(channel, 1).receive(std::string(piece));
    r.form->txtoutput[channel - 1].set_text(r.slot(channel, 1).get_data());  // as the data port does
    r.loop.advance(Millis{kTick * ticks});
  }
  r.loop.advance(Millis{kTick * 2});

  const int period = r.form->Timer30[0].interval();
  if (period < netdata::kMinSendPeriod || period > netdata::kMaxSendPeriod) fuzz::fail("send period outside its limits");
  for (const std::string& out : r.ports[static_cast<std::size_t>(channel - 1)].written) {
    if (out.empty() || out.back() != '\r') fuzz::fail("command without its carriage return");
    if (!buffers.count(out.substr(0, out.size() - 1) + "#")) fuzz::fail("text to the radio that no client sent as a command");
  }
  for (int k = 0; k < 4; ++k)
    if (k != channel - 1 && !r.ports[static_cast<std::size_t>(k)].written.empty()) fuzz::fail("command went to another channel's radio");
  return 0;
}
