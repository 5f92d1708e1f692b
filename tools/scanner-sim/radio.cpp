#include "radio.hpp"

#include <algorithm>
#include <cstdio>

namespace quillon::sim {

std::string display_line(int n, const std::string& text, const std::string& attributes) {
  auto fit = [](std::string s) {
    s.resize(16, ' ');
    return s;
  };
  return "LCD" + std::to_string(n) + " [" + fit(text) + "][" + fit(attributes) + "]";
}

Radio::Radio(Model model, int baud, std::uint32_t seed)
    : model_(model),
      baud_(baud),
      rng_(seed),
      channels_{{1673500, "FM", "AMK OSL CH 2", "BLAALYS", 20},
                {1561000, "NFM", "VHF Channel 2", "MARINE", 102},
                {1185000, "AM", "TWR Gardermoen", "AIR", 31},
                {4460062, "NFM", "PMR 1", "PMR446", 57},
                {1002000, "WFM", "NRK P1", "BROADCAST", 8}},
      locked_(channels_.size(), false) {}

void Radio::open_for(std::size_t n, int ms, Clock::time_point now) {
  scanning_ = false;
  current_ = (n >= 1 ? n - 1 : 0) % channels_.size();
  hold_ = 0;
  signal_ = 150;
  scripted_until_ = now + std::chrono::milliseconds(std::max(0, ms));
  page_.clear();
}

void Radio::page(std::vector<PageTone> tones, int call_ms, Clock::time_point start, Clock::time_point now) {
  auto end = std::max(start, now);
  for (const PageTone& t : tones) end += std::chrono::milliseconds(std::max(0, t.ms));
  end += std::chrono::milliseconds(std::max(0, call_ms));
  open_for(1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(end - now).count()), now);
  page_ = std::move(tones);
  page_start_ = start;
}

double Radio::sound_hz(Clock::time_point t) const {
  if (!page_.empty()) {
    if (t < page_start_) return page_.front().hz;
    auto until = page_start_;
    for (const PageTone& tone : page_) {
      until += std::chrono::milliseconds(std::max(0, tone.ms));
      if (t < until) return tone.hz;
    }
  }
  return 400.0 + 100.0 * static_cast<double>(current_);
}

std::optional<Radio::Clock::time_point> Radio::tick(Clock::time_point now) {
  if (scripted_until_ && now >= *scripted_until_) {
    scripted_until_.reset();
    page_.clear();
    scanning_ = true;
    signal_ = 0;
  }
  return scripted_until_;
}

void Radio::step_display() {
  std::uniform_int_distribution<int> pct(0, 99);
  if (held() && !scripted_until_) {  // no scanning; the signal moves only on an open squelch
    if (squelch_open()) {
      std::uniform_int_distribution<int> drift(-25, 25);
      signal_ = std::clamp(signal_ + drift(rng_), 20, 255);
    }
    return;
  }
  if (scripted_until_) {
    std::uniform_int_distribution<int> drift(-25, 25);
    signal_ = std::clamp(signal_ + drift(rng_), 20, 255);
    return;
  }
  if (!auto_stops_) {
    scanning_ = true;
    hold_ = 0;
  } else if (hold_ > 0) {
    --hold_;
    if (hold_ == 0) scanning_ = true;
  } else if (scanning_ && pct(rng_) < 40) {
    const std::size_t next = static_cast<std::size_t>(pct(rng_)) % channels_.size();
    if (!locked_[next]) {  // a locked-out channel is passed over
      scanning_ = false;
      current_ = next;
      hold_ = 2 + pct(rng_) % 4;
    }
  }
  if (scanning_) {
    bank_ = bank_ % 10 + 1;
    signal_ = 0;
  } else {
    std::uniform_int_distribution<int> drift(-25, 25);
    signal_ = std::clamp(signal_ == 0 ? 120 + drift(rng_) : signal_ + drift(rng_), 20, 255);
  }
}

std::string Radio::display_frame() const {
  std::string l1, l2, l3, l4, a1, a3;
  if (!faults_.shown.empty()) {
    auto part = [&](std::size_t i) { return i * 16 < faults_.shown.size() ? faults_.shown.substr(i * 16, 16) : std::string(); };
    l1 = part(0);
    l2 = part(1);
    l3 = part(2);
    l4 = part(3);
  } else if (tuned_) {
    char freq[32];
    std::snprintf(freq, sizeof freq, " %4ld.%04ld  %-3s", *tuned_ / 10000, *tuned_ % 10000, tuned_mode_.c_str());
    l1 = attenuator_ ? "VFO  ATT" : "VFO";
    l2 = freq;
    l3 = entry_.empty() ? "" : "> " + entry_;
  } else if (scanning_ && !held_) {
    char bank[17];
    std::snprintf(bank, sizeof bank, "Bank %2d", bank_);
    l1 = word_ + (attenuator_ ? " ATT C " : " +   C ") + std::to_string(100 + bank_ * 7 % 100);
    l2 = "  SCAN";
    l3 = "Bank  1--------0";
    a3 = std::string(static_cast<std::size_t>(5 + bank_), ' ') + "#";
    l4 = entry_.empty() ? std::string(bank) : "> " + entry_;
  } else {
    const Channel& c = channels_[current_];
    char freq[32];
    std::snprintf(freq, sizeof freq, " %4ld.%04ld  %-3s", c.freq / 10000, c.freq % 10000, c.mode);
    char num[8];
    std::snprintf(num, sizeof num, "%03d", c.number);
    l1 = std::string(held_ ? "HOLD" : "SCAN") + (attenuator_ ? " ATT C " : " +   C ") + num;
    a1 = std::string(static_cast<std::size_t>(std::min(16, signal_ / 16)), '#');
    l2 = freq;
    l3 = locked_[current_] ? std::string("L/O ") + c.tag1 : std::string(c.tag1);
    l4 = entry_.empty() ? std::string(c.tag2) : "> " + entry_;
  }
  return display_line(1, l1, a1) + "\r" + display_line(2, l2, "") + "\r" + display_line(3, l3, a3) + "\r" +
         display_line(4, l4, "") + "\r";
}

std::string Radio::garbage(std::size_t n) {
  // Bytes from the upper half: never a carriage return, never letters the server looks for.
  std::uniform_int_distribution<int> b(0x80, 0xFE);
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(b(rng_)));
  return s;
}

std::string Radio::answer(const std::string& command) {
  if (command.empty()) return {};
  ++commands_;
  if (faults_.silent) return {};
  std::string reply;
  if (faults_.ng_count > 0) {
    --faults_.ng_count;
    reply = "NG\r";
  } else if (faults_.err_count > 0) {
    --faults_.err_count;
    reply = "ERR\r";
  } else {
    reply = plain_answer(command);
  }
  if (faults_.no_cr) std::erase(reply, '\r');
  return reply;
}

std::string Radio::plain_answer(const std::string& cmd) {
  const bool open = !scanning_;
  const Channel& c = channels_[current_];
  char text[64];
  if (cmd == "LCD") return display_frame();
  if (cmd == "ST") return "ST 12.5K\r";
  if (cmd == "SQ") return open ? "+\r" : "-\r";
  if (cmd == "SG") {
    std::snprintf(text, sizeof text, "S%03d F%08ld\r", signal_, open ? c.freq : 0L);
    return text;
  }
  if (cmd == "SG" && tuned_) {
    std::snprintf(text, sizeof text, "S%03d F%08ld\r", signal_, *tuned_);
    return text;
  }
  if (cmd == "MD") return tuned_ ? "MD08\r" : held_ || open ? "MD01\r" : "MD00\r";
  if (cmd == "RM") return std::string("RM ") + (tuned_ ? tuned_mode_.c_str() : open ? c.mode : "FM") + "\r";
  if (cmd == "AT") return attenuator_ ? "ATN\r" : "ATF\r";
  if (cmd == "CS") return "CS000\r";
  if (cmd == "DL") return delay_ ? "DLN\r" : "DLF\r";
  if (cmd == "SI") return model_ == Model::BC785 ? "SI BC785D,0000000000,104\r" : "SI BC796D,0000000000,104\r";
  if (cmd == "WI") {
    std::snprintf(text, sizeof text, "W107 F%08ld\r", c.freq);
    return text;
  }
  if (std::string reply = control_answer(cmd); !reply.empty()) return reply;
  // Set commands: a known two-letter command with arguments, or the notify switches.
  static const char* settable[] = {"QU", "ID", "RI", "AT", "DL", "RM", "MD", "ST", "KE", "RF", "SQ", "CS"};
  if (cmd.size() > 2)
    for (const char* s : settable)
      if (cmd.compare(0, 2, s) == 0) return "OK\r";
  return "ERR\r";
}

void Radio::tune(long freq) {
  tuned_ = freq;
  held_ = true;
  signal_ = 0;
  scripted_until_.reset();
  page_.clear();
}

void Radio::go_to_channel(std::size_t index) {
  tuned_.reset();
  current_ = index % channels_.size();
  held_ = true;
  scanning_ = false;
  scripted_until_.reset();
  page_.clear();
}

void Radio::advance_scan() {
  held_ = false;
  tuned_.reset();
  scanning_ = true;
  hold_ = 0;
  signal_ = 0;
}

// A front-panel key by its remote code (the BC780 family's, as public controllers use them).
std::string Radio::press(int key) {
  if (key >= 20 && key <= 29) {  // 02 followed by a digit
    if (entry_.size() < 12) entry_.push_back(static_cast<char>('0' + key - 20));
    return "OK\r";
  }
  switch (key) {
    case 1:  // SCAN
      entry_.clear();
      word_ = "SCAN";
      advance_scan();
      return "OK\r";
    case 3:  // "."
      if (entry_.find('.') == std::string::npos && entry_.size() < 12) entry_.push_back('.');
      return "OK\r";
    case 4: {  // E: a typed frequency tunes, a typed number goes to that memory channel
      const std::string typed = entry_;
      entry_.clear();
      if (typed.empty()) return "NG\r";
      if (typed.find('.') != std::string::npos) {
        const auto dot = typed.find('.');
        const long mhz = dot == 0 ? 0 : std::stol(typed.substr(0, std::min<std::size_t>(dot, 4)));
        std::string frac = typed.substr(dot + 1);
        frac.resize(4, '0');
        tune(mhz * 10000 + std::stol(frac));
        return "OK\r";
      }
      const int number = std::stoi(typed.substr(0, 4));
      for (std::size_t i = 0; i < channels_.size(); ++i)
        if (channels_[i].number == number) {
          go_to_channel(i);
          return "OK\r";
        }
      return "NG\r";
    }
    case 5:  // PRI
      priority_ = !priority_;
      return "OK\r";
    case 6:  // L/O: the channel it holds or stopped on leaves the scan (again: comes back)
      if (tuned_ || (scanning_ && !held_)) return "NG\r";
      locked_[current_] = !locked_[current_];
      return "OK\r";
    case 7:  // HOLD/MAN
      entry_.clear();
      if (tuned_) return "OK\r";
      held_ = true;
      return "OK\r";
    case 8: word_ = "LIM "; advance_scan(); return "OK\r";   // LIMIT search
    case 9: word_ = "SRCH"; advance_scan(); return "OK\r";   // SRCH
    case 11: word_ = "MENU"; return "OK\r";
    case 13: word_ = "TRNK"; advance_scan(); return "OK\r";  // TRUNK
    case 14: return "OK\r";                                  // knob push
    case 15:
    case 16: {  // knob up / down: the next channel, or 12.5 kHz on a tuned frequency
      const int dir = key == 15 ? 1 : -1;
      if (tuned_) {
        tune(std::max(0L, *tuned_ + dir * 125));
      } else {
        const auto n = static_cast<long>(channels_.size());
        go_to_channel(static_cast<std::size_t>(((static_cast<long>(current_) + dir) % n + n) % n));
      }
      return "OK\r";
    }
    default: return "NG\r";
  }
}

// The set commands of a remote head; "" for anything else.
std::string Radio::control_answer(const std::string& cmd) {
  auto digits = [](const std::string& s) { return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }); };
  if (cmd.rfind("KEY", 0) == 0) {
    std::string code = cmd.substr(3);
    if (!code.empty() && code.back() == 'H') code.pop_back();  // press and hold: the same here
    if (code.size() == 3 && code[0] == '0' && code[1] == '2' && digits(code.substr(2))) return press(20 + (code[2] - '0'));
    if (code.size() != 2 || !digits(code)) return "NG\r";
    return press(std::stoi(code));
  }
  if (cmd.rfind("RF", 0) == 0) {
    const std::string f = cmd.substr(2);
    if (f.size() != 8 || !digits(f)) return "NG\r";
    const long freq = std::stol(f);
    if (freq < 250000 || freq > 13000000) return "NG\r";  // 25 to 1300 MHz
    tune(freq);
    return "OK\r";
  }
  if (cmd.rfind("RM ", 0) == 0) {
    const std::string m = cmd.substr(3);
    if (m != "AM" && m != "FM" && m != "NFM" && m != "WFM") return "NG\r";
    tuned_mode_ = m;
    return "OK\r";
  }
  if (cmd == "ATN" || cmd == "ATF") {
    attenuator_ = cmd == "ATN";
    return "OK\r";
  }
  if (cmd == "DLN" || cmd == "DLF") {
    delay_ = cmd == "DLN";
    return "OK\r";
  }
  if (cmd == "MUN" || cmd == "MUF" || cmd == "MUA") {
    mute_ = cmd.substr(2);
    return "OK\r";
  }
  if (cmd.rfind("MA", 0) == 0) {
    const std::string n = cmd.substr(2);
    if (n.size() != 3 || !digits(n)) return "NG\r";
    const int number = std::stoi(n);
    for (std::size_t i = 0; i < channels_.size(); ++i)
      if (channels_[i].number == number) {
        go_to_channel(i);
        return "OK\r";
      }
    return "NG\r";  // an empty memory channel
  }
  if (cmd == "LO") return press(6);
  return "";
}

}  // namespace quillon::sim
