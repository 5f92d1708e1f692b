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
                {1002000, "WFM", "NRK P1", "BROADCAST", 8}} {}

void Radio::open_for(std::size_t n, int ms, Clock::time_point now) {
  scanning_ = false;
  current_ = (n >= 1 ? n - 1 : 0) % channels_.size();
  hold_ = 0;
  signal_ = 150;
  scripted_until_ = now + std::chrono::milliseconds(std::max(0, ms));
}

std::optional<Radio::Clock::time_point> Radio::tick(Clock::time_point now) {
  if (scripted_until_ && now >= *scripted_until_) {
    scripted_until_.reset();
    scanning_ = true;
    signal_ = 0;
  }
  return scripted_until_;
}

void Radio::step_display() {
  std::uniform_int_distribution<int> pct(0, 99);
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
    scanning_ = false;
    current_ = static_cast<std::size_t>(pct(rng_)) % channels_.size();
    hold_ = 2 + pct(rng_) % 4;
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
  } else if (scanning_) {
    char bank[17];
    std::snprintf(bank, sizeof bank, "Bank %2d", bank_);
    l1 = "SCAN +   C " + std::to_string(100 + bank_ * 7 % 100);
    l2 = "  SCAN";
    l3 = "Bank  1--------0";
    a3 = std::string(static_cast<std::size_t>(5 + bank_), ' ') + "#";
    l4 = bank;
  } else {
    const Channel& c = channels_[current_];
    char freq[32];
    std::snprintf(freq, sizeof freq, " %4ld.%04ld  %-3s", c.freq / 10000, c.freq % 10000, c.mode);
    char num[8];
    std::snprintf(num, sizeof num, "%03d", c.number);
    l1 = std::string("SCAN +   C ") + num;
    a1 = std::string(static_cast<std::size_t>(std::min(16, signal_ / 16)), '#');
    l2 = freq;
    l3 = c.tag1;
    l4 = c.tag2;
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
  if (cmd == "MD") return open ? "MD01\r" : "MD00\r";
  if (cmd == "RM") return std::string("RM ") + (open ? c.mode : "FM") + "\r";
  if (cmd == "AT") return "ATF\r";
  if (cmd == "CS") return "CS000\r";
  if (cmd == "DL") return "DLF\r";
  if (cmd == "SI") return model_ == Model::BC785 ? "SI BC785D,0000000000,104\r" : "SI BC796D,0000000000,104\r";
  if (cmd == "WI") {
    std::snprintf(text, sizeof text, "W107 F%08ld\r", c.freq);
    return text;
  }
  // Set commands: a known two-letter command with arguments, or the notify switches.
  static const char* settable[] = {"QU", "ID", "RI", "AT", "DL", "RM", "MD", "ST", "KE", "RF", "SQ", "CS"};
  if (cmd.size() > 2)
    for (const char* s : settable)
      if (cmd.compare(0, 2, s) == 0) return "OK\r";
  return "ERR\r";
}

}  // namespace quillon::sim
