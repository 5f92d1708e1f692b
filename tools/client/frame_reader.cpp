#include "frame_reader.hpp"

#include <cctype>
#include <nlohmann/json.hpp>

namespace quillon::client {

namespace {

constexpr std::string_view kReply = "?VER=1.21";
constexpr std::string_view kLastLine = "\r\nUDP:";
constexpr std::string_view kLineBreak = "\r\n";

struct Label {
  std::string_view head;  // as on the wire
  std::string_view name;  // field name
};
// Frame order; "maxclients" before "clients" so the longer label wins.
constexpr Label kLabels[] = {
    {"delay1=", "delay1"},       {"readout1=", "readout1"},   {"port1=", "port1"},         {"port2=", "port2"},
    {"port3=", "port3"},         {"audiostat:", "audiostat"}, {"codecstat:", "codecstat"}, {"ipstat:", "ipstat"},
    {"NUMCOM1:", "NUMCOM1"},     {"NUMCOM2:", "NUMCOM2"},     {"NUMCOM3:", "NUMCOM3"},     {"NUMCOM4:", "NUMCOM4"},
    {"NetsendT1:", "NetsendT1"}, {"NetsendT2:", "NetsendT2"}, {"NetsendT3:", "NetsendT3"}, {"NetsendT4:", "NetsendT4"},
    {"sample0", "sample0"},      {"maxclients", "maxclients"}, {"clients", "clients"},     {"VER:", "VER"},
    {"SITENAME:", "SITENAME"},   {"UDP:", "UDP"},
};

std::vector<std::string_view> split_lines(std::string_view s) {
  std::vector<std::string_view> out;
  for (;;) {
    const auto p = s.find(kLineBreak);
    out.push_back(s.substr(0, p));
    if (p == std::string_view::npos) return out;
    s.remove_prefix(p + kLineBreak.size());
  }
}

}  // namespace

void FrameSplitter::feed(std::string_view bytes) {
  buf_.append(bytes);
  if (buf_.size() > kMaxPending) buf_.erase(0, buf_.size() - kMaxPending);
}

std::optional<Item> FrameSplitter::next(bool quiet) {
  if (buf_.starts_with(kReply)) {
    buf_.erase(0, kReply.size());
    return Item{Item::Kind::Reply, std::string(kReply), 0};
  }
  if (!quiet && !buf_.empty() && buf_.size() < kReply.size() && std::string_view(kReply).starts_with(buf_))
    return std::nullopt;  // the start of a reply
  const auto last = buf_.find(kLastLine);
  if (last == std::string::npos) return std::nullopt;
  const std::size_t value = last + kLastLine.size();
  const std::string_view rest(buf_.data() + value, buf_.size() - value);
  std::size_t end = value;
  if (rest.starts_with("True")) {
    end += 4;
  } else if (rest.starts_with("False")) {
    end += 5;
  } else if (!quiet && (std::string_view("True").starts_with(rest) || std::string_view("False").starts_with(rest))) {
    return std::nullopt;  // "Fal" so far
  } else {
    while (end < buf_.size() && std::isalpha(static_cast<unsigned char>(buf_[end]))) ++end;  // not from this server
  }

  Item item;
  std::size_t consumed = end;
  if (end == buf_.size()) {
    if (!quiet) return std::nullopt;  // a "*n" may still come
  } else if (buf_[end] == '*') {
    if (end + 1 == buf_.size() && !quiet) return std::nullopt;
    if (end + 1 < buf_.size() && std::isdigit(static_cast<unsigned char>(buf_[end + 1]))) {
      item.slot = buf_[end + 1] - '0';
      consumed = end + 2;
    } else {
      consumed = end + 1;
    }
  }
  item.text = buf_.substr(0, end);
  buf_.erase(0, consumed);
  return item;
}

const std::string* ParsedFrame::field(std::string_view name) const {
  for (const auto& [k, v] : fields)
    if (k == name) return &v;
  return nullptr;
}

ParsedFrame parse_frame(std::string_view frame) {
  ParsedFrame out;
  const auto lines = split_lines(frame);
  // The counter line is the last "frame=" line that is followed by "delay1=".
  std::size_t head = lines.size();
  for (std::size_t i = lines.size(); i-- > 0;)
    if (lines[i].starts_with("frame=") && i + 1 < lines.size() && lines[i + 1].starts_with("delay1=")) {
      head = i;
      break;
    }
  std::size_t from = 0;
  if (head < lines.size()) {
    for (std::size_t i = 0; i < head; ++i) out.display.emplace_back(lines[i]);
    std::string_view counter = lines[head].substr(6);
    const auto b1 = counter.find(' ');
    const auto b2 = b1 == std::string_view::npos ? b1 : counter.find(' ', b1 + 1);
    out.fields.emplace_back("frame", std::string(counter.substr(0, b1)));
    if (b1 != std::string_view::npos) out.fields.emplace_back("seconds", std::string(counter.substr(b1 + 1, b2 - b1 - 1)));
    if (b2 != std::string_view::npos) out.fields.emplace_back("time", std::string(counter.substr(b2 + 1)));
    from = head + 1;
  }
  for (std::size_t i = from; i < lines.size(); ++i) {
    bool known = false;
    for (const Label& l : kLabels)
      if (lines[i].starts_with(l.head)) {
        out.fields.emplace_back(std::string(l.name), std::string(lines[i].substr(l.head.size())));
        known = true;
        break;
      }
    if (!known && head == lines.size()) out.display.emplace_back(lines[i]);
  }
  return out;
}

std::string frame_json(const Item& item) {
  nlohmann::ordered_json j;
  if (item.kind == Item::Kind::Reply) {
    j["reply"] = item.text;
  } else {
    const ParsedFrame p = parse_frame(item.text);
    if (item.slot) j["slot"] = item.slot;
    j["display"] = p.display;
    for (const auto& [k, v] : p.fields) j[k] = v;
  }
  // The radio's display text is not guaranteed to be UTF-8.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::string> wire_form(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.empty()) return std::nullopt;
  if (line.front() == '!') {
    line.remove_prefix(1);
    if (line.empty()) return std::nullopt;
    return std::string(line);
  }
  if (line.starts_with("SET ") || line.starts_with("GET ")) return std::string(line);
  if (line == "CLR") return std::string("CLR#");
  if (line.ends_with("#")) return std::string(line);
  return std::string(line) + "#";
}

}  // namespace quillon::client
