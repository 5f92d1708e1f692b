#include "netdata/interpreter.hpp"

#include <string>

#include "netdata/channels.hpp"
#include "settings/numbers.hpp"

namespace quillon::netdata {

namespace {

constexpr std::string_view kSetDelay1 = "SET DELAY1=";
constexpr std::string_view kSetAudio1 = "SET AUDIO1=";
constexpr std::string_view kSetDelay2 = "SET DELAY2=";
constexpr std::string_view kSetDelay7a = "SET DELAY7A=";
constexpr std::string_view kSetTimer1 = "SET TIMER1=";

bool begins(const std::string& text, std::string_view head) { return text.compare(0, head.size(), head) == 0; }

// The text after the first "=" (empty when there is none).
std::string_view after_equals(std::string_view text) {
  const auto eq = text.find('=');
  return eq == std::string_view::npos ? std::string_view() : text.substr(eq + 1);
}

}  // namespace

int parse_int16(std::string_view text) {
  constexpr int kTypeMismatch = 13, kOverflow = 6;
  const auto v = settings::numeric_value(text);
  if (!v) throw Error(kTypeMismatch, "Type mismatch");
  const auto w = settings::whole_number(*v);
  if (!w || *w < -32768 || *w > 32767) throw Error(kOverflow, "Overflow");
  return static_cast<int>(*w);
}

int send_period_value(std::string_view buffer) {
  std::string_view value = after_equals(buffer);
  if (!value.empty()) value.remove_suffix(1);  // the client's final character
  const auto v = settings::whole_number(settings::leading_number(value), settings::Rounding::Down);
  if (!v || *v < kMinSendPeriod) return kMinSendPeriod;
  if (*v > kMaxSendPeriod) return kMaxSendPeriod;
  return static_cast<int>(*v);
}

CommandInterpreter::CommandInterpreter(Frmserver& form) : f_(form) {
  for (int k = 1; k <= kChannels; ++k) f_.Timer1[k - 1].on_tick_async([this, k]() -> Task { return tick(k); });
}

void CommandInterpreter::answer_version() {
  SocketArray& arr = winsock(f_, 1);
  for (int i = 1; i <= f_.clientslots; ++i) {
    ErrorScope err;
    err.step([&] {
      if (arr[i].state() == sockstate::connected) arr[i].send_data(kVersionReply);
    });
  }
}

// The steps run in order; each reads the buffer afresh, so a step that empties it leaves
// nothing for the later ones. Every step is guarded on its own.
Task CommandInterpreter::tick(int channel) {
  ErrorScope err;
  ui::TextBox* buffer = nullptr;
  ui::TextBox* serial_out = nullptr;
  if (!err.step([&] {
        buffer = &f_.txtoutput[channel - 1];
        serial_out = &f_.Text1[channel - 1];
      }))
    co_return;
  auto text = [&]() -> const std::string& { return buffer->text(); };
  auto empty_buffer = [&] { buffer->set_text(""); };

  // 1. "CLR#" anywhere: both buffers emptied.
  err.step([&] {
    if (text().find(kClear) != std::string::npos) {
      empty_buffer();
      serial_out->set_text("");
    }
  });
  // 2. The version query is answered to channel 1's clients, whichever channel asked, once per
  // query received: the query is then taken out of the buffer, unless it ends in "#" and so also
  // goes to the radio (step 7, which empties the buffer itself).
  if (begins(text(), kVersionQuery)) {
    answer_version();
    err.step([&] {
      if (text().back() != kCommandEnd.front()) empty_buffer();
    });
  }
  // 3.
  err.step([&] {
    if (begins(text(), kSetDelay1)) empty_buffer();
  });
  // 4. Channel 1's sample rate, only while exactly one client is connected to channel 1.
  if (begins(text(), kSetAudio1) && f_.numcom[0] == 1) {
    err.step([&] { f_.Combo10[0].set_list_index(parse_int16(after_equals(text()))); });
    ui::CommandButton* apply = nullptr;
    err.step([&] { apply = &f_.Command12[0]; });
    if (apply) co_await apply->click();
    err.step(empty_buffer);
  }
  // 5.
  err.step([&] {
    if (begins(text(), kSetDelay2)) empty_buffer();
  });
  // 6. Channel 1's send period.
  err.step([&] {
    if (begins(text(), kSetDelay7a)) {
      f_.Timer30[0].set_interval(send_period_value(text()));
      empty_buffer();
    }
  });
  // 7. A scanner command: the text less its "#" goes to the channel's radio. The output buffer
  // is emptied first so that the same command sent again is written again.
  err.step([&] {
    if (!text().empty() && text().back() == kCommandEnd.front()) {
      const std::string command = text().substr(0, text().size() - 1);
      serial_out->set_text("");
      serial_out->set_text(command);
      empty_buffer();
    }
  });
  // 8.
  err.step([&] {
    if (begins(text(), kSetTimer1)) empty_buffer();
  });
}

}  // namespace quillon::netdata
