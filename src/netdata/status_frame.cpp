#include "netdata/status_frame.hpp"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "netdata/channels.hpp"

namespace quillon::netdata {

namespace {

constexpr std::string_view kLineBreak = "\r\n";

void append_number(std::string& out, long v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace

std::string seconds_text(float seconds) {
  char buf[48];
  auto r = std::to_chars(buf, buf + sizeof buf, seconds, std::chars_format::general, 7);
  std::string s(buf, r.ptr);
  if (const auto e = s.find('e'); e != std::string::npos) {
    // Only below 0.0001 s after midnight: written out in full instead of with an exponent,
    // still with at most seven significant digits.
    const int exponent = std::atoi(s.c_str() + e + 1);
    r = std::to_chars(buf, buf + sizeof buf, seconds, std::chars_format::fixed, 6 - exponent);
    s.assign(buf, r.ptr);
  }
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  return s;
}

TimeOfDay::Stamp TimeOfDay::at(WallClock::time_point t) {
  const auto since_epoch = t.time_since_epoch();
  const auto whole = std::chrono::floor<std::chrono::seconds>(since_epoch);
  const std::time_t tt = static_cast<std::time_t>(whole.count());
  if (tt != cached_) {
    std::tm tm{};
    localtime_r(&tt, &tm);
    since_midnight_ = tm.tm_hour * 3600L + tm.tm_min * 60L + tm.tm_sec;
    std::snprintf(text_, sizeof text_, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    cached_ = tt;
  }
  const double fraction = std::chrono::duration<double>(since_epoch - whole).count();
  return {static_cast<float>(static_cast<double>(since_midnight_) + fraction), text_};
}

StatusFrame::StatusFrame(Frmserver& form) : f_(form) {
  for (int k = 1; k <= kChannels; ++k) f_.Timer7[k - 1].on_tick([this, k] { build(k); });
}

void StatusFrame::build(int channel) {
  const int c = channel - 1;
  const auto ci = static_cast<std::size_t>(c);
  ErrorScope err;
  if (!err.step([&] { f_.Text9[c].set_text(std::to_string(f_.Timer30[c].interval())); })) return;

  std::string& out = frame_;
  out.clear();
  // Head: display text and status lines, then the counter and the time stamp.
  err.step([&] {
    out += f_.text5[c].text();
    out += f_.Text6[c].text();
    out += kLineBreak;
    out += "frame=";
    append_number(out, f_.framecount[ci]);
    const TimeOfDay::Stamp now = clock_.at(f_.loop().wall_now());
    out += ' ';
    out += seconds_text(now.seconds);
    out += ' ';
    out += now.hh_mm_ss;
    f_.Text8[c].set_text(out);
  });
  err.step([&] { out = f_.Text8[c].text(); });

  // Each line is its own step: a value that cannot be read leaves its line out.
  auto line = [&](std::string_view label, auto&& value) {
    const std::size_t mark = out.size();
    if (!err.step([&] {
          out += kLineBreak;
          out += label;
          value();
        }))
      out.resize(mark);
  };
  auto text = [&](const std::string& s) { return [&out, &s] { out += s; }; };
  auto number = [&](auto get) { return [&out, get] { append_number(out, static_cast<long>(get())); }; };

  line("delay1=XXX", [] {});
  line("readout1=", [&] { out += f_.Text9[c].text(); });
  line("port1=", [&] { out += f_.portip1[0].text(); });
  line("port2=", [&] { out += f_.portip1[1].text(); });
  line("port3=", [&] { out += f_.portip1[2].text(); });
  line("audiostat:", text(f_.audiostatus));
  line("codecstat:", text(f_.codecstatus));
  line("ipstat:", text(f_.ipstatus));
  line("NUMCOM1:", number([&] { return f_.numcom[0]; }));
  line("NUMCOM2:", number([&] { return f_.numcom[1]; }));
  line("NUMCOM3:", number([&] { return f_.numcom[2]; }));
  line("NUMCOM4:", number([&] { return f_.numcom[3]; }));
  line("NetsendT1:", number([&] { return f_.Timer30[0].interval(); }));
  line("NetsendT2:", number([&] { return f_.Timer30[1].interval(); }));
  line("NetsendT3:", number([&] { return f_.Timer30[2].interval(); }));
  line("NetsendT4:", number([&] { return f_.Timer30[3].interval(); }));
  // This channel's own audio.
  line("sample0", [&] { out += f_.Combo10[c].text(); });
  line("clients", number([&] { return need(f_.ipserv[ci]).client_count(); }));
  line("maxclients", number([&] { return need(f_.ipserv[ci]).max_clients(); }));
  line("VER:1.30", [] {});
  line("SITENAME:", [&] { out += f_.Text11[0].text(); });
  line("UDP:", [&] { out += f_.Option1[0].value() ? "True" : "False"; });

  f_.statusframe[ci] = out;
  if (channel == 1) err.step([&] { f_.Text7.set_text(out); });
}

}  // namespace quillon::netdata
