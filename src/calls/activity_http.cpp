#include "calls/activity_http.hpp"

#include <chrono>
#include <nlohmann/json.hpp>

#include "calls/activity_api.hpp"
#include "calls/call_activity.hpp"
#include "console/console_server.hpp"
#include "core/event_loop.hpp"

namespace quillon::calls {

namespace {

ConsoleResponse error_reply(int status, const std::string& message) {
  ConsoleResponse r{status, "application/json",
                    nlohmann::json{{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
  r.headers.emplace_back("Cache-Control", "no-store");
  if (status == 503) r.headers.emplace_back("Retry-After", "2");
  return r;
}

}  // namespace

std::unique_ptr<ActivityReader> serve_activity(ConsoleServer& console, CallStore& store, EventLoop& loop) {
  auto reader = std::make_unique<ActivityReader>(store.dir() / "calls.db");
  console.add_deferred_route("/api/activity", [&store, &loop, r = reader.get()](const ConsoleRequest& req, ConsoleServer::Respond respond) {
    if (req.path != "/api/activity" && req.path != "/api/activity/") return respond(error_reply(404, "no such resource: GET /api/activity"));
    if (!req.operator_ok)
      return respond(error_reply(401, "sign in first (POST /api/session) or send the access token: Authorization: Bearer TOKEN"));
    if (req.method != "GET" && req.method != "HEAD") return respond(error_reply(405, "use GET"));
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(loop.wall_now().time_since_epoch()).count();
    auto parsed = parse_activity_request(req.query, now);
    if (auto* message = std::get_if<std::string>(&parsed)) return respond(error_reply(400, *message));
    ActivityRequest request = std::get<ActivityRequest>(std::move(parsed));
    const bool kept = store.activity_kept();
    const ActivityQuery q = request.query;
    const bool asked = r->ask(q, [&loop, respond, request = std::move(request), kept](std::optional<Activity> a, std::string error, bool busy) {
      // On the reader's thread: the JSON is made here, the answer goes back to the loop.
      ConsoleResponse reply = a ? ConsoleResponse{200, "application/json", activity_json(request, *a, kept), {{"Cache-Control", "no-store"}}}
                                : error_reply(503, busy ? "the call index is busy: " + error : error);
      loop.post([respond, reply = std::move(reply)]() mutable { respond(std::move(reply)); });
    });
    if (!asked) respond(error_reply(503, "too many activity questions at once; ask again shortly"));
  });
  return reader;
}

}  // namespace quillon::calls
