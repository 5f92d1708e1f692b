#pragma once
// The calls over HTTP, apart from any server: a request's path, query and the headers that
// matter in, a whole answer out.
//
//   GET /api/calls?channel=&frequency_hz=&from=&to=&q=&min_ms=&limit=&before=&alerts=1
//       {"calls":[...], "next": CURSOR or null}, newest stored first; 400 {"error": "..."} for a bad
//       parameter. Each call carries "uploads": [{"destination","state","reason"}], where it went,
//       and "alerted": whether an alert named it (alerts=1: only those).
//       A transmission heard on several channels is listed once (its best recording) with
//       "heard_on" (the channels), "best" (the id played) and "linked" (the other recordings).
//   GET /api/calls/ID/audio   audio/ogg, single byte ranges (206, 416), ETag (304), a file name
//   POST /api/calls/unlink {"id": ID}   separates the linked recordings of ID's transmission:
//       {"unlinked": [ids]} (empty when it was not linked), 404 for no such call

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "calls/call_store.hpp"

namespace quillon::calls {

struct ApiRequest {
  std::string path;   // "/api/calls/12/audio"
  std::string query;  // after '?', still encoded
  std::string range;  // the Range header
  std::string if_none_match;
  bool head = false;
};

struct ApiReply {
  int status = 200;
  std::string content_type;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

// At most this much of a call's audio is read for one answer (a call of the longest hard maximum
// at the highest bitrate fits).
inline constexpr std::size_t kMaxAudioBytes = 64 << 20;

ApiReply handle_calls_request(CallStore& store, const ApiRequest& request);
// The body of POST /api/calls/unlink.
ApiReply handle_unlink_request(CallStore& store, const std::string& body);

// A query's name or value decoded ("+" and %XX); the characters of a search's text, nothing when
// it is not UTF-8 text (shared with /api/activity, so both take the same words).
std::string query_decode(std::string_view s);
std::optional<std::size_t> query_text_length(const std::string& s);

}  // namespace quillon::calls
