#include "calls/calls_http.hpp"

#include "calls/calls_api.hpp"
#include "console/console_server.hpp"

#include <cctype>
#include <nlohmann/json.hpp>

namespace quillon::calls {

void serve_calls(ConsoleServer& console, CallStore& store) {
  console.add_request_route("/api/calls", [&store](const ConsoleRequest& req) {
    ApiRequest a;
    a.path = std::string(req.path);
    a.query = std::string(req.query);
    a.range = req.header("Range");
    a.if_none_match = req.header("If-None-Match");
    a.head = req.head;
    ApiReply reply = handle_calls_request(store, a);
    return ConsoleResponse{reply.status, std::move(reply.content_type), std::move(reply.body), std::move(reply.headers)};
  });
  // A change, so POST with a JSON body (which another site cannot send without asking first),
  // under the console's own access.
  console.add_open_route("/api/calls/unlink", [&store](const ConsoleRequest& req) {
    auto answer = [](int status, const std::string& error) {
      return ConsoleResponse{status, "application/json", nlohmann::json{{"error", error}}.dump()};
    };
    if (!req.operator_ok) return answer(401, "sign in first (POST /api/session) or send the access token");
    if (req.method != "POST") return answer(405, "use POST");
    std::string type = req.content_type.substr(0, req.content_type.find(';'));
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (type != "application/json")
      return answer(415, "the body must be sent as Content-Type: application/json");
    ApiReply reply = handle_unlink_request(store, req.body);
    return ConsoleResponse{reply.status, std::move(reply.content_type), std::move(reply.body), std::move(reply.headers)};
  });
}

}  // namespace quillon::calls
