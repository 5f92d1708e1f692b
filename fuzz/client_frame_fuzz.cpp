// libFuzzer target for the client tool's side of a data port: the input is what a server sends,
// fed to the frame splitter in pieces, with quiet moments between some of them; every item is read
// into fields and printed as JSON, and each piece is also read as a typed line.
//
// Input: byte 0 says where the stream is cut; the rest is the stream. Checked: the splitter
// hands out the stream in order, losing and inventing nothing (an item is the text at the front
// of the stream, followed only by its "*n"), the JSON it prints reads back, and a typed line
// becomes one wire text without its line end.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "frame_reader.hpp"
#include "fuzz_support.hpp"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
  client::FrameSplitter splitter;
  std::size_t fed = 0, taken = 0;  // bytes given to the splitter, bytes it has handed out

  fuzz::Pieces pieces(stream, data[0], 64, 3);
  std::string_view piece;
  int quiet = 0;
  while (pieces.next(piece, quiet)) {
    splitter.feed(piece);
    fed += piece.size();
    if (auto wire = client::wire_form(piece)) {
      if (wire->empty() || wire->back() == '\n') fuzz::fail("typed line sent empty or with its line end");
    }
    for (int guard = 0; guard < 100000; ++guard) {
      auto item = splitter.next(quiet == 0);
      if (!item) break;
      const std::string_view front = stream.substr(taken);
      if (!front.starts_with(item->text)) fuzz::fail("item that is not the front of the stream");
      const std::size_t left = fed - splitter.pending().size();
      if (left < taken + item->text.size() || !stream.substr(0, fed).ends_with(splitter.pending()))
        fuzz::fail("splitter lost or invented bytes");
      const std::string_view tail = stream.substr(taken + item->text.size(), left - taken - item->text.size());
      const bool tail_ok = tail.empty() || tail == "*" || (tail.size() == 2 && tail[0] == '*' && tail[1] - '0' == item->slot);
      if (!tail_ok || item->slot < 0 || item->slot > 9) fuzz::fail("frame followed by something else than its slot number");
      taken = left;
      const auto j = nlohmann::json::parse(client::frame_json(*item), nullptr, false);
      if (j.is_discarded() || !j.is_object()) fuzz::fail("printed item does not read back as JSON");
    }
  }
  return 0;
}
