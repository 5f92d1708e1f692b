#include "calls/listener_calls.hpp"

#include <algorithm>
#include <charconv>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "calls/call_json.hpp"
#include "calls/call_store.hpp"
#include "calls/calls_api.hpp"
#include "console/console_server.hpp"

namespace quillon::calls {
namespace {

constexpr int kRecent = 20;

ConsoleResponse json_answer(int status, const nlohmann::json& body) {
  return ConsoleResponse{status, "application/json", body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), {}};
}

// What a listener sees of a call: no site, signal or upload details.
nlohmann::json listener_call(const CallRecord& r) {
  const nlohmann::json full = call_json(r);
  nlohmann::json j;
  for (const char* key : {"id", "channel", "start", "duration_ms", "frequency_hz", "tags"}) j[key] = full[key];
  j["audio"] = "/live/calls/audio?id=" + std::to_string(r.id);
  return j;
}

std::optional<std::int64_t> id_of(std::string_view query) {
  for (std::size_t at = 0; at <= query.size();) {
    const auto end = std::min(query.find('&', at), query.size());
    const std::string_view pair = query.substr(at, end - at);
    if (pair.rfind("id=", 0) == 0) {
      std::int64_t id = 0;
      const auto digits = pair.substr(3);
      const auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
      if (ec == std::errc() && p == digits.data() + digits.size() && id > 0) return id;
      return std::nullopt;
    }
    at = end + 1;
  }
  return std::nullopt;
}

ConsoleResponse recent(CallStore& store, const std::array<bool, 4>& channels) {
  std::vector<CallRecord> calls;
  for (int c = 1; c <= 4; ++c) {
    if (!channels[static_cast<std::size_t>(c - 1)]) continue;
    CallQuery q;
    q.channel = c;
    q.limit = kRecent;
    for (CallRecord& r : store.find(q).calls) calls.push_back(std::move(r));
  }
  std::sort(calls.begin(), calls.end(), [](const CallRecord& a, const CallRecord& b) { return a.id > b.id; });
  // Each channel's list holds its own recording of a transmission others heard too.
  calls = once_per_transmission(std::move(calls));
  if (calls.size() > kRecent) calls.resize(kRecent);
  nlohmann::json list = nlohmann::json::array();
  for (const CallRecord& r : calls) list.push_back(listener_call(r));
  return json_answer(200, {{"calls", list}});
}

}  // namespace

std::vector<CallRecord> once_per_transmission(std::vector<CallRecord> calls) {
  std::map<std::int64_t, const CallRecord*> chosen;
  for (const CallRecord& r : calls) {
    if (r.link_id <= 0) continue;
    const CallRecord*& c = chosen[r.link_id];
    const bool better = !c || (r.shown && !c->shown) ||
                        (r.shown == c->shown && (r.signal_max > c->signal_max || (r.signal_max == c->signal_max && r.id < c->id)));
    if (better) c = &r;
  }
  std::vector<CallRecord> out;
  for (CallRecord& r : calls)
    if (r.link_id <= 0 || chosen[r.link_id] == &r) out.push_back(std::move(r));
  return out;
}

void serve_listener_calls(ConsoleServer& server, CallStore& store, ChannelsFor channels_for) {
  server.add_open_route("/live/calls", [&store, channels_for](const ConsoleRequest& req) {
    if (req.method != "GET" && req.method != "HEAD") return json_answer(405, {{"error", "use GET"}});
    const auto channels = channels_for(req);
    if (!channels) return json_answer(401, {{"error", "enter an access code first"}});
    try {
      return recent(store, *channels);
    } catch (const StoreError& e) {
      return json_answer(503, {{"error", e.what()}});
    }
  });
  server.add_open_route("/live/calls/audio", [&store, channels_for](const ConsoleRequest& req) {
    if (req.method != "GET" && req.method != "HEAD") return json_answer(405, {{"error", "use GET"}});
    const auto channels = channels_for(req);
    if (!channels) return json_answer(401, {{"error", "enter an access code first"}});
    const auto id = id_of(req.query);
    if (!id) return json_answer(404, {{"error", "no such call"}});
    try {
      const auto rec = store.get(*id);
      // A call of a channel the listener may not hear is answered as if it did not exist.
      if (!rec || rec->channel < 1 || rec->channel > 4 || !(*channels)[static_cast<std::size_t>(rec->channel - 1)])
        return json_answer(404, {{"error", "no such call"}});
      ApiRequest a;
      a.path = "/api/calls/" + std::to_string(*id) + "/audio";
      a.range = req.header ? req.header("Range") : "";
      a.if_none_match = req.header ? req.header("If-None-Match") : "";
      a.head = req.head;
      ApiReply reply = handle_calls_request(store, a);
      return ConsoleResponse{reply.status, std::move(reply.content_type), std::move(reply.body), std::move(reply.headers)};
    } catch (const StoreError& e) {
      return json_answer(503, {{"error", e.what()}});
    }
  });
}

}  // namespace quillon::calls
