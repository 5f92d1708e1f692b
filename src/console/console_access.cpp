// Who may do what: the token, sign-in sessions and their cookie, Host and Origin rules, and
// the routing of one request.
#include "console/console_internal.hpp"

#include <algorithm>

namespace quillon {

bool ConsoleServer::Impl::bearer_ok(const Request& req) const {
  const std::string_view auth = req[http::field::authorization];
  const std::string_view scheme = "Bearer ";
  return !config.token.empty() && auth.size() > scheme.size() && lower(auth.substr(0, scheme.size())) == "bearer " &&
         equal_constant_time(auth.substr(scheme.size()), config.token);
}

bool ConsoleServer::Impl::cookie_ok(const Request& req) {
  const std::string value = session_cookie(req);
  if (value.empty()) return false;
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(signed_in, [&](const SignedIn& s) { return s.expires <= now; });
  bool found = false;
  for (const SignedIn& s : signed_in) found |= equal_constant_time(s.id, value);
  return found;
}

// Nothing when the request may go on, else the answer that refuses it. `api`: an /api/ path
// (the page's own files are public); `credentials`: it needs the token or a sign-in.
std::optional<Response> ConsoleServer::Impl::refuse(const Request& req, bool api, bool credentials) {
  const std::string_view host = req[http::field::host];
  if (config.token.empty() && req.find(http::field::host) != req.end() && !loopback_host(host_part(host)))
    return error_response(req, http::status::forbidden, "the console answers to loopback host names only");
  if (!api) return std::nullopt;
  const bool has_origin = req.find(http::field::origin) != req.end();
  if (has_origin && !same_origin(req[http::field::origin], host, tls != nullptr))
    return error_response(req, http::status::forbidden, "requests from other sites are refused");
  if (!credentials || config.token.empty() || bearer_ok(req)) return std::nullopt;
  if (cookie_ok(req)) {
    const bool changes = (req.method() != http::verb::get && req.method() != http::verb::head) || websocket::is_upgrade(req);
    if (changes && !has_origin) return error_response(req, http::status::forbidden, "a signed-in request must name its origin");
    return std::nullopt;
  }
  auto res = error_response(req, http::status::unauthorized,
                            "sign in first (POST /api/session) or send the access token: Authorization: Bearer TOKEN");
  res.set(http::field::www_authenticate, "Bearer");
  return res;
}

// GET: whether a token is needed and this client is signed in; POST {"token": "..."}: sign in
// (a session cookie); DELETE: sign out.
Response ConsoleServer::Impl::session_endpoint(const Request& req) {
  const bool needs_token = !config.token.empty();
  const std::string secure = tls ? "; Secure" : "";
  if (req.method() == http::verb::get || req.method() == http::verb::head)
    return make_response(req, http::status::ok,
                         json{{"token_required", needs_token}, {"signed_in", !needs_token || bearer_ok(req) || cookie_ok(req)}, {"tls", tls != nullptr}});
  if (req.method() == http::verb::delete_) {
    const std::string value = session_cookie(req);
    std::erase_if(signed_in, [&](const SignedIn& s) { return !value.empty() && equal_constant_time(s.id, value); });
    auto res = make_response(req, http::status::ok, json{{"signed_in", !needs_token}});
    res.set(http::field::set_cookie, std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0" + secure);
    return res;
  }
  if (req.method() != http::verb::post) return error_response(req, http::status::method_not_allowed, "use GET, POST or DELETE");
  const std::string type = lower(req[http::field::content_type]);
  if (type.substr(0, type.find(';')) != "application/json")
    return error_response(req, http::status::unsupported_media_type, "the body must be sent as Content-Type: application/json");
  const json body = json::parse(req.body(), nullptr, false);
  const auto token = body.is_object() ? body.find("token") : body.end();
  if (!body.is_object() || token == body.end() || !token->is_string())
    return error_response(req, http::status::bad_request, "send {\"token\": \"...\"}");
  if (!needs_token) return make_response(req, http::status::ok, json{{"signed_in", true}});
  if (!equal_constant_time(token->get<std::string>(), config.token))
    return error_response(req, http::status::unauthorized, "that is not the access token");
  if (signed_in.size() >= kMaxSignedIn) signed_in.pop_front();
  SignedIn s{random_id(), std::chrono::steady_clock::now() + kSignInLife};
  auto res = make_response(req, http::status::ok, json{{"signed_in", true}});
  res.set(http::field::set_cookie, std::string(kCookie) + "=" + s.id + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                                       std::to_string(std::chrono::seconds(kSignInLife).count()) + secure);
  signed_in.push_back(std::move(s));
  return res;
}

Response ConsoleServer::Impl::handle(const Request& req) {
  const std::string_view target = req.target();
  const std::string_view path = target.substr(0, target.find('?'));
  if (config.listen_only) return error_response(req, http::status::not_found, "no such stream");
  const auto route = routes.find(path);
  const auto request_route = std::find_if(request_routes.begin(), request_routes.end(),
                                          [&](const auto& r) { return path.substr(0, r.first.size()) == r.first; });
  const bool api = path.substr(0, 5) == "/api/" || route != routes.end() || request_route != request_routes.end();
  if (auto refused = refuse(req, api, path != "/api/session")) return std::move(*refused);
  if (path == "/api/session") return session_endpoint(req);
  if (path == "/api/window") {
    if (req.method() != http::verb::get) return error_response(req, http::status::method_not_allowed, "use GET");
    return make_response(req, http::status::ok, console::window_json(window));
  }
  if (path == "/api/action") {
    if (req.method() != http::verb::post) return error_response(req, http::status::method_not_allowed, "use POST");
    const std::string type = lower(req[http::field::content_type]);
    if (type.substr(0, type.find(';')) != "application/json")
      return error_response(req, http::status::unsupported_media_type, "the body must be sent as Content-Type: application/json");
    const console::Reply reply = console::run_action(window, req.body());
    if (change_feed) change_feed->flush();  // the operator sees the action's effect at once
    return make_response(req, static_cast<http::status>(reply.status), reply.body);
  }
  if (path == "/api/events") return error_response(req, http::status::upgrade_required, "/api/events is a WebSocket");
  if (route != routes.end()) {
    if (req.method() != http::verb::get && req.method() != http::verb::head) return error_response(req, http::status::method_not_allowed, "use GET");
    return route_response(req, route->second());
  }
  if (request_route != request_routes.end()) {
    if (req.method() != http::verb::get && req.method() != http::verb::head) return error_response(req, http::status::method_not_allowed, "use GET");
    ConsoleRequest request;
    request.method = std::string(req.method_string());
    request.path = std::string(path);
    if (target.size() > path.size()) request.query = std::string(target.substr(path.size() + 1));
    request.head = req.method() == http::verb::head;
    request.header = [&req](std::string_view name) { return std::string(req[name]); };
    return route_response(req, request_route->second(request));
  }
  if (!api) {
    if (req.method() != http::verb::get && req.method() != http::verb::head)
      return error_response(req, http::status::method_not_allowed, "use GET");
    if (auto asset = asset_response(req, path)) return std::move(*asset);
  }
  return error_response(req, http::status::not_found, "no such resource (GET /, GET /api/window, GET /api/events, POST /api/action)");
}

}  // namespace quillon
