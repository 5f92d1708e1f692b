#include "calls/calls_http.hpp"

#include "calls/calls_api.hpp"
#include "console/console_server.hpp"

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
}

}  // namespace quillon::calls
