// libFuzzer target for the calls' search and audio requests (/api/calls?...,
// /api/calls/ID/audio with a Range) and the activity question (/api/activity?...), answered from
// an index of a few calls, as a page or a script sends them.
//
// Input: byte 0 picks the path (the list, a call's audio by a number from the input, HEAD or
// GET; the list's path with bit 2 set asks the activity question instead), then "QUERY\nRANGE".
// Checked for the activity: a question is answered or refused with a message naming a part; the
// answer reads back as JSON, counts no more calls than the index holds and lists only calls that
// exist. Checked: the status is one the interface documents; every JSON
// answer reads back, lists at most the limit asked and only calls that exist; a page's cursor
// only goes back in ids; an audio answer never gives more bytes than the call's file holds.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "calls/activity_api.hpp"
#include "calls/calls_api.hpp"
#include "fuzz_support.hpp"

using namespace quillon;
using namespace quillon::calls;

namespace {

constexpr int kCalls = 6;
constexpr std::size_t kAudioBytes = 3000;

CallStore& store() {
  static const std::filesystem::path dir = fuzz::private_dir("calls");
  static CallStore s(dir);
  static bool seeded = false;
  if (!seeded) {
    seeded = true;
    const char* tags[] = {"MARINE 16", "AMBULANSE", "Næringsliv é", "FIRE DISP", "", "SEA \"quoted\""};
    for (int i = 0; i < kCalls; ++i) {
      CallRecord r;
      r.site = "fuzz";
      r.channel = 1 + i % 4;
      r.start_ms = 1'796'000'000'000 + i * 10'000;
      r.duration_ms = 1500 + 400 * i;
      r.frequency_hz = 156'800'000 + i * 12'500;
      r.display = {"SCAN", "156.8000 NFM", tags[i], "SEA"};
      r.file = "2026/12/08/c" + std::to_string(i) + ".opus";
      s.add(r);
      std::filesystem::create_directories(dir / "2026/12/08");
      std::ofstream(dir / r.file, std::ios::binary) << std::string(kAudioBytes, static_cast<char>('a' + i));
    }
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t eol = rest.find('\n');
  ApiRequest req;
  req.query = std::string(rest.substr(0, eol));
  if (eol != std::string_view::npos) req.range = std::string(rest.substr(eol + 1));
  const bool audio = data[0] & 1;
  req.head = data[0] & 2;
  req.path = audio ? "/api/calls/" + std::to_string(1 + (data[0] >> 2) % (kCalls + 2)) + "/audio" : "/api/calls";

  if (!audio && (data[0] & 4)) {
    // A little after the seeded calls, so the period and the timeline hold some of them.
    auto parsed = parse_activity_request(req.query, 1'796'000'000'000 + 3'600'000);
    if (const auto* message = std::get_if<std::string>(&parsed)) {
      if (message->find(": ") == std::string::npos) fuzz::fail("a refusal that names no part");
      return 0;
    }
    const auto& question = std::get<ActivityRequest>(parsed);
    const auto j = nlohmann::json::parse(activity_json(question, store().activity(question.query), true), nullptr, false);
    if (j.is_discarded() || !j.is_object()) fuzz::fail("activity answer is not a JSON object");
    if (j["totals"]["calls"].get<std::int64_t>() > kCalls) fuzz::fail("more calls counted than the index holds");
    for (const auto& c : j["timeline"]["calls"])
      if (c.value("id", std::int64_t{0}) < 1 || c.value("id", std::int64_t{0}) > kCalls) fuzz::fail("a timeline call that does not exist");
    return 0;
  }

  const ApiReply reply = handle_calls_request(store(), req);
  switch (reply.status) {
    case 200: case 206: case 304: case 400: case 404: case 405: case 416: case 503: break;
    default: fuzz::fail("status outside the documented ones");
  }
  if (audio && (reply.status == 200 || reply.status == 206)) {
    if (reply.body.size() > kAudioBytes) fuzz::fail("more audio than the call's file holds");
    return 0;
  }
  if (reply.content_type.find("json") == std::string::npos) {
    if (!audio) fuzz::fail("the list answered without JSON");
    return 0;
  }
  const auto j = nlohmann::json::parse(reply.body, nullptr, false);
  if (j.is_discarded() || !j.is_object()) fuzz::fail("answer is not a JSON object");
  if (reply.status != 200 || audio) return 0;
  const auto& calls = j["calls"];
  if (!calls.is_array() || calls.size() > 500) fuzz::fail("a list without calls or longer than any limit");
  std::int64_t last = INT64_MAX;
  for (const auto& c : calls) {
    const std::int64_t id = c.value("id", std::int64_t{0});
    if (id < 1 || id > kCalls) fuzz::fail("a call that does not exist");
    if (id >= last) fuzz::fail("calls not newest first");
    last = id;
  }
  if (j.contains("next") && j["next"].is_number() && j["next"].get<std::int64_t>() > last) fuzz::fail("a cursor that goes forward");
  return 0;
}
