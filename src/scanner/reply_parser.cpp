#include "scanner/reply_parser.hpp"

#include "settings/numbers.hpp"

namespace quillon::scanner {

namespace {

bool contains(std::string_view buf, std::string_view what) { return buf.find(what) != std::string_view::npos; }

// Characters from 1-based position `pos`, at most `len` of them, fewer when the buffer ends.
std::string mid(std::string_view buf, std::size_t pos, std::size_t len) {
  if (pos < 1 || pos > buf.size()) return {};
  return std::string(buf.substr(pos - 1, len));
}

// "STEP$=" and the k - s - 3 characters from the first "ST" (s) up to the first "K" (k), both
// 1-based; nothing when that length is negative (no "K", or the first "K" too early).
std::optional<std::string> step_text(std::string_view buf) {
  const auto st = buf.find("ST");
  if (st == std::string_view::npos) return std::nullopt;
  const long s = static_cast<long>(st) + 1;
  const auto kpos = buf.find('K');
  const long k = kpos == std::string_view::npos ? 0 : static_cast<long>(kpos) + 1;
  const long len = k - s - 3;
  if (len < 0) return std::nullopt;
  return "STEP$=" + mid(buf, static_cast<std::size_t>(s), static_cast<std::size_t>(len));
}

std::optional<std::string> receive_mode(std::string_view buf) {
  static constexpr std::pair<std::string_view, std::string_view> rules[] = {
      {"WFM", "WF"}, {" FM", "FM"}, {" AM", "AM"}, {"NFM", "NF"}};
  std::optional<std::string> out;
  for (const auto& [seen, mode] : rules)
    if (contains(buf, seen)) out = "RMODE$=" + std::string(mode);
  return out;
}

}  // namespace

ReplyReading read_reply(int step, std::string_view buf) {
  ReplyReading r;
  const bool complete = !buf.empty() && buf.back() == '\r';
  auto field = [&](int f) -> std::optional<std::string>& { return r.fields[static_cast<std::size_t>(f - 1)]; };

  switch (step) {
    case 1:  // "LCD": collect until the frame's last line has arrived
      if (complete && contains(buf, "LCD4")) {
        r.display_frame = true;
        r.ends_exchange = true;
      }
      break;
    case 2:  // "ST": the first text seen ends the exchange, complete or not
      if (!buf.empty()) r.ends_exchange = true;
      if (complete && contains(buf, "ST")) field(1) = step_text(buf);
      break;
    case 10:  // "SQ"
      if (complete) {
        field(3) = "SQSTAT$=" + std::string(buf);
        r.ends_exchange = true;
      }
      break;
    case 3:  // "SG"
      if (complete) {
        field(2) = "SIGLVL$=" + settings::number_text(settings::leading_number(mid(buf, 2, 3)));
        r.ends_exchange = true;
      }
      break;
    case 5:  // "MD"
      if (complete) {
        field(4) = "STATUS$=" + mid(buf, 3, 2);
        if (contains(buf, "NG")) field(4) = "STATUS$=NG";
        r.ends_exchange = true;
      }
      break;
    case 6:  // "RM"
      if (complete) {
        if (contains(buf, "RM")) field(5) = receive_mode(buf);
        r.ends_exchange = true;
      }
      break;
    case 7:  // "AT"
      if (complete) {
        if (contains(buf, "ATN")) field(6) = "ATTMD$=ATN";
        if (contains(buf, "ATF")) field(6) = "ATTMD$=ATF";
        r.ends_exchange = true;
      }
      break;
    case 8:  // "CS"
      if (complete) {
        if (contains(buf, "CS")) field(7) = std::string(buf);
        r.ends_exchange = true;
      }
      break;
    case 9:  // "DL"
      if (complete) {
        if (contains(buf, "DL")) field(8) = std::string(buf);
        r.ends_exchange = true;
      }
      break;
    case 0:  // nothing asked: unsolicited text
      if (complete) {
        const auto w = buf.find('W');
        if (w != std::string_view::npos) field(9) = mid(buf, w + 2, 3);
        r.ends_exchange = true;
      }
      break;
    default:
      break;
  }
  return r;
}

std::string cut_display_frame(std::string_view buf) {
  const auto start = buf.find("LCD1");
  if (start == std::string_view::npos) return std::string(buf);
  return std::string(buf.substr(start, kDisplayFrameLimit));
}

}  // namespace quillon::scanner
