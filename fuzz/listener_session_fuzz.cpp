// libFuzzer target for the listeners' sign-in: a series of /live/session requests (GET, POST
// with a body, DELETE), each from an address and with a cookie the input chooses, against a
// page with three access codes, with virtual time between them.
//
// Input: requests separated by "\n--\n"; each is "METHOD ADDRESS COOKIE-INDEX DELAY\nBODY", where
// COOKIE-INDEX picks one of the cookies handed out so far (or none) and DELAY the seconds before
// it. Checked: every answer is JSON with a documented status; a 200 to a POST hands out a
// session cookie only for a body naming a configured code, and that cookie grants exactly the
// code's channels; nothing grants a channel that no code has; sign-ins stay bounded.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "audio/gsm_codec.hpp"
#include "fleet/listeners.hpp"
#include "fuzz_support.hpp"
#include "support/fakes.hpp"

using namespace quillon;

namespace {

struct Rig {
  test::TestServer ts{"fuzz-live"};
  std::array<audio::GsmCodec, 4> codecs;
  config::Listen cfg;
  std::unique_ptr<LiveListeners> live;
  Rig() {
    cfg.codes.push_back({"Ferry crew", "ferry-two-123", {false, true, false, false}, std::nullopt, 1});
    cfg.codes.push_back({"Harbour", "harbour-all-9", {true, true, true, true}, std::nullopt, 0});
    const auto now_s = std::chrono::duration_cast<std::chrono::seconds>(ts.loop.wall_now().time_since_epoch()).count();
    cfg.codes.push_back({"Old", "old-code-0000", {true, false, false, false}, now_s, 0});  // expired as the page starts
    const std::array<audio::GsmCodec*, 4> ptrs{&codecs[0], &codecs[1], &codecs[2], &codecs[3]};
    live = std::make_unique<LiveListeners>(ts.loop, ts.f(), cfg, ptrs, nullptr, nullptr, nullptr);
  }
};

const config::Listen::Code* named(const config::Listen& cfg, const nlohmann::json& body) {
  if (!body.is_object() || !body.contains("code") || !body["code"].is_string()) return nullptr;
  for (const auto& c : cfg.codes)
    if (c.code == body["code"].get<std::string>()) return &c;
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Rig rig;
  std::vector<std::string> cookies;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  for (int n = 0; n < 64 && !rest.empty(); ++n) {
    const std::size_t cut = rest.find("\n--\n");
    const std::string_view one = rest.substr(0, cut);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 4);
    const std::size_t eol = one.find('\n');
    std::istringstream head(std::string(one.substr(0, eol)));
    ConsoleRequest req;
    std::size_t pick = 0;
    unsigned delay = 0;
    head >> req.method >> req.address >> pick >> delay;
    req.body = eol == std::string_view::npos ? std::string() : std::string(one.substr(eol + 1));
    req.content_type = "application/json";
    if (pick > 0 && !cookies.empty()) req.cookies = cookies[(pick - 1) % cookies.size()];
    rig.ts.loop.advance(Millis{1000LL * (delay % 120)});

    const ConsoleResponse res = rig.live->session(req);
    switch (res.status) {
      case 200: case 400: case 401: case 403: case 405: case 429: case 500: break;
      default: fuzz::fail("status outside the documented ones");
    }
    const auto answer = nlohmann::json::parse(res.body, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) fuzz::fail("answer is not a JSON object");
    std::string cookie;
    for (const auto& [name, value] : res.headers)
      if (name == "Set-Cookie" && value.find("Max-Age=0") == std::string::npos) cookie = value.substr(0, value.find(';'));
    if (cookie.empty()) continue;
    if (req.method != "POST" || res.status != 200) fuzz::fail("a session handed out outside a successful sign-in");
    const auto* code = named(rig.cfg, nlohmann::json::parse(req.body, nullptr, false));
    if (!code || code->expires) fuzz::fail("a session for a body that names no valid code");
    ConsoleRequest with;
    with.method = "GET";
    with.cookies = cookie;
    const auto granted = rig.live->channels_for(with);
    if (!granted || *granted != code->channels) fuzz::fail("a session that grants other channels than its code's");
    if (cookies.size() < 16) cookies.push_back(cookie);
  }
  return 0;
}
