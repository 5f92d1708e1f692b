#include "calls/call_cutter.hpp"

#include <algorithm>
#include <cmath>

namespace quillon::calls {

namespace {

std::int64_t ms(Clock::duration d) { return std::chrono::duration_cast<Millis>(d).count(); }

std::string trim(std::string s) {
  const auto b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

// A known value that differs from another known value.
bool moved(const std::string& a, const std::string& b) { return !a.empty() && !b.empty() && a != b; }

}  // namespace

std::array<std::string, 4> display_lines(const std::string& frame) {
  std::array<std::string, 4> out{};
  std::size_t pos = 0;
  while (pos < frame.size()) {
    std::size_t end = frame.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = frame.size();
    const std::string line = frame.substr(pos, end - pos);
    pos = end + 1;
    const auto at = line.find("LCD");
    if (at == std::string::npos || at + 3 >= line.size()) continue;
    const int n = line[at + 3] - '0';
    if (n < 1 || n > 4) continue;
    std::string rest = line.substr(at + 4);
    if (const auto open = rest.find('['); open != std::string::npos) {
      const auto close = rest.find(']', open + 1);
      rest = rest.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    }
    std::string text;
    for (char c : rest) text += (static_cast<unsigned char>(c) < ' ' || c == 127) ? ' ' : c;
    out[static_cast<std::size_t>(n - 1)] = trim(text);
  }
  return out;
}

double level_dbfs(const std::int16_t* samples, std::size_t count) {
  if (count == 0) return -120;
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  const double rms = std::sqrt(sum / static_cast<double>(count)) / 32768.0;
  return rms <= 1e-6 ? -120 : 20 * std::log10(rms);
}

CallCutter::CallCutter(EventLoop& loop, const CutSettings& settings, CallOutput& out) : loop_(loop), s_(settings), out_(out) {}

bool CallCutter::gate_open() const {
  const bool sq_known = sq_ && ms(loop_.now() - sq_at_) <= kSquelchStaleMs;
  const bool sq_open = sq_known && *sq_;
  switch (s_.gate) {
    case Gate::Squelch:
      return sq_open;
    case Gate::Level:
      return level_open_;
    case Gate::Both:
      return sq_open && level_open_;
    case Gate::Auto:
      break;
  }
  return sq_known ? sq_open : level_open_;
}

void CallCutter::squelch(std::optional<bool> open) {
  if (open) {
    sq_ = open;
    sq_at_ = loop_.now();
  }
  if (in_call_ && provisional_ && open && s_.gate != Gate::Level) {
    provisional_ = false;
    if (!*open) {
      in_call_ = false;
      CallEnd e;
      e.abandoned = true;
      out_.end(e);
    }
  }
  update();
}

void CallCutter::radio(const RadioView& view, Reading reading) {
  if (in_call_) {
    if (reading == Reading::Display && confirm_display_) {
      confirm_display_ = false;
      call_view_.display = view.display;
    }
    if (reading == Reading::Frequency && confirm_frequency_ && view.frequency_hz) {
      confirm_frequency_ = false;
      call_view_.frequency_hz = view.frequency_hz;
    }
    if (reading == Reading::Mode && confirm_mode_ && !view.modulation.empty()) {
      confirm_mode_ = false;
      call_view_.modulation = view.modulation;
    }
    const bool freq_moved = view.frequency_hz && call_view_.frequency_hz && view.frequency_hz != call_view_.frequency_hz;
    if (freq_moved || moved(view.display[2], call_view_.display[2]) || moved(view.display[3], call_view_.display[3])) {
      // The radio scanned on: this call ends here and the next one starts at once.
      account();
      end_call(false);
      view_ = view;
      if (enabled_ && gate_open()) {
        begin_call(false, 1);
        // The reading that split the call is the new call's own; the other may still be old.
        confirm_display_ = reading != Reading::Display;
        confirm_frequency_ = reading != Reading::Frequency;
        confirm_mode_ = true;
        provisional_ = true;
      }
      was_open_ = in_call_;
      return;
    }
    if (!call_view_.frequency_hz) call_view_.frequency_hz = view.frequency_hz;
    if (call_view_.modulation.empty()) call_view_.modulation = view.modulation;
    if (call_view_.tone.empty()) call_view_.tone = view.tone;
    for (std::size_t i = 0; i < 4; ++i)
      if (call_view_.display[i].empty()) call_view_.display[i] = view.display[i];
    signal_max_ = std::max(signal_max_, view.signal);
  }
  view_ = view;
}

void CallCutter::pcm(const std::int16_t* samples, std::size_t count, int rate) {
  if (count == 0 || rate <= 0) return;
  if (rate != rate_) {
    ring_.clear();
    ring_samples_ = 0;
    rate_ = rate;
  }
  level_open_ = level_dbfs(samples, count) >= s_.level_dbfs;
  update();
  if (in_call_) {
    out_.audio(samples, count, rate);
    return;
  }
  ring_.emplace_back(samples, samples + count);
  ring_samples_ += count;
  const auto keep = static_cast<std::size_t>(static_cast<std::int64_t>(rate_) * s_.pre_roll_ms / 1000);
  while (!ring_.empty() && ring_samples_ > keep) {
    auto& first = ring_.front();
    const std::size_t extra = ring_samples_ - keep;
    if (extra >= first.size()) {
      ring_samples_ -= first.size();
      ring_.pop_front();
    } else {
      first.erase(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(extra));
      ring_samples_ -= extra;
    }
  }
}

void CallCutter::tick() { update(); }

void CallCutter::stop() {
  if (!in_call_) return;
  account();
  end_call(false);
}

void CallCutter::set_enabled(bool on) {
  if (!on) stop();
  enabled_ = on;
}

void CallCutter::account() {
  const TimePoint now = loop_.now();
  if (in_call_ && was_open_) open_ms_ += ms(now - last_update_);
  last_update_ = now;
}

void CallCutter::update() {
  account();
  const bool open = enabled_ && gate_open();
  const TimePoint now = loop_.now();
  if (!in_call_) {
    if (open) begin_call(true, 1);
    was_open_ = open;
    return;
  }
  if (ms(now - call_at_) >= static_cast<std::int64_t>(s_.max_s) * 1000) {
    // A squelch stuck open: cut here, the next part goes on from this instant.
    const int part = part_;
    end_call(open);
    if (open) begin_call(false, part + 1);
    was_open_ = open;
    return;
  }
  if (open) {
    closed_at_.reset();
  } else {
    if (!closed_at_) closed_at_ = now;
    if (ms(now - call_at_) >= static_cast<std::int64_t>(s_.soft_max_s) * 1000 || ms(now - *closed_at_) >= s_.hang_ms)
      end_call(false);
  }
  was_open_ = open;
}

void CallCutter::begin_call(bool with_pre_roll, int part) {
  const TimePoint now = loop_.now();
  in_call_ = true;
  call_at_ = now;
  last_update_ = now;
  open_ms_ = 0;
  closed_at_.reset();
  part_ = part;
  call_view_ = view_;
  signal_max_ = view_.signal;
  confirm_display_ = confirm_frequency_ = confirm_mode_ = part == 1;
  provisional_ = false;
  const std::int64_t pre_ms = with_pre_roll && rate_ > 0 ? static_cast<std::int64_t>(ring_samples_) * 1000 / rate_ : 0;
  CallStart start;
  start.start_ms = std::chrono::duration_cast<Millis>(loop_.wall_now().time_since_epoch()).count() - pre_ms;
  start.part = part;
  out_.begin(start);
  if (with_pre_roll)
    for (const auto& chunk : ring_) out_.audio(chunk.data(), chunk.size(), rate_);
  ring_.clear();
  ring_samples_ = 0;
}

void CallCutter::end_call(bool continue_part) {
  (void)continue_part;
  in_call_ = false;
  CallEnd e;
  e.open_ms = static_cast<int>(std::min<std::int64_t>(open_ms_, 1 << 30));
  // A part cut by the hard maximum is kept whatever its length: the call goes on in the next.
  e.keep = open_ms_ >= s_.min_ms || continue_part || part_ > 1;
  e.radio = call_view_;
  e.signal_max = signal_max_;
  out_.end(e);
}

}  // namespace quillon::calls
