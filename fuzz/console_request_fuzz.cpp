// libFuzzer target for the console's HTTP side: the input is what a browser or an attacker
// sends on a console connection. It is answered by the console's own parse, access check and
// routing (console_answer), against the window of a whole server on fakes, with and without an
// access token; the same bytes are also parsed by Beast in arbitrary pieces, as they arrive.
//
// Input: byte 0 picks the configuration (bit 0: with a token) and where the bytes are cut (the
// other bits); the rest is the request. Checked: parsing in pieces and at once agree; the status
// is one the console documents, with a JSON body; without the token in the request a token-
// protected console answers 401; a Host that is not a loopback name gets 403 from a console
// without token; a request that is refused changes nothing in the window.
#include <boost/beast/http.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "console_rig.hpp"
#include "fuzz_support.hpp"
#include "console/console_probe.hpp"
#include "console/console_view.hpp"

using namespace quillon;
namespace http = boost::beast::http;

namespace {

constexpr const char* kToken = "fuzz-token-0123456789abcdef";

// 0: no whole request; 413 or 431: over a limit; 1: a whole request (whose Host is put in host).
int parse_in_pieces(std::string_view raw, std::uint8_t seed, std::string& host, std::string& path) {
  http::request_parser<http::string_body> parser;
  parser.header_limit(8 * 1024);
  parser.body_limit(64 * 1024);
  parser.eager(true);
  std::string pending;
  fuzz::Pieces pieces(raw, seed, 32, 0);
  std::string_view piece;
  int gap = 0;
  boost::beast::error_code ec;
  while (!parser.is_done() && pieces.next(piece, gap)) {
    pending.append(piece);
    while (!pending.empty() && !parser.is_done()) {
      const std::size_t used = parser.put(boost::asio::buffer(pending.data(), pending.size()), ec);
      pending.erase(0, used);
      if (ec == http::error::need_more) {
        ec = {};
        break;
      }
      if (ec) break;
      if (used == 0) break;
    }
    if (ec) break;
  }
  if (ec == http::error::body_limit) return 413;
  if (ec == http::error::header_limit) return 431;
  if (ec || !parser.is_done()) return 0;
  host = std::string(parser.get()[http::field::host]);
  const std::string_view target = parser.get().target();
  path = std::string(target.substr(0, target.find('?')));
  return 1;
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::ConsoleRig rig;
  if (size < 1) return 0;
  const std::string_view raw(reinterpret_cast<const char*>(data + 1), size - 1);
  const bool with_token = data[0] & 1;
  ConsoleConfig config;
  if (with_token) {
    config.address = "0.0.0.0";
    config.token = kToken;
  }

  std::string host, path;
  const int pieces = parse_in_pieces(raw, static_cast<std::uint8_t>(data[0] >> 1), host, path);
  rig.begin();
  const ConsoleAnswer answer = console_answer(rig.window(), config, raw);
  const std::size_t changes = rig.changes;

  const int whole = answer.status == 0 || answer.status == 413 || answer.status == 431 ? answer.status : 1;
  if (pieces != whole) fuzz::fail("parsing in pieces and at once disagree");
  if (whole == 1) {
    switch (answer.status) {
      case 200: case 304: case 400: case 401: case 403: case 404: case 405: case 409: case 415: case 426: case 500: break;
      default: fuzz::fail("status outside the documented ones");
    }
    // The page's files and the sign-in state are public; everything under /api/ answers JSON.
    const bool api = path.rfind("/api/", 0) == 0;
    const bool open_to_all = !api || path == "/api/session";
    if (api) {
      const auto body = console::json::parse(answer.body, nullptr, false);
      if (body.is_discarded() || !body.is_object()) fuzz::fail("answer body is not a JSON object");
    }
    if (with_token && raw.find(kToken) == std::string_view::npos && !open_to_all && answer.status < 400)
      fuzz::fail("token-protected console answered a request without the token");
    const std::string h = lower(host);
    if (!with_token && !h.empty() && !h.starts_with("localhost") && !h.starts_with("127.") && !h.starts_with("[") &&
        answer.status != 403)
      fuzz::fail("console without token answered a foreign Host");
  }
  if (answer.status != 200 && answer.status != 500 && changes != 0) fuzz::fail("refused request changed the window");
  // Reading (GET, HEAD) changes nothing; anything else that was answered may have.
  const bool reads = raw.starts_with("GET ") || raw.starts_with("HEAD ");
  rig.finish(!reads && (answer.status == 200 || answer.status == 500));
  return 0;
}
