#pragma once
// The calls over HTTP, apart from any server: a request's path, query and the headers that
// matter in, a whole answer out.
//
//   GET /api/calls?channel=&from=&to=&q=&min_ms=&limit=&before=&alerts=1
//       {"calls":[...], "next": CURSOR or null}, newest stored first; 400 {"error": "..."} for a bad
//       parameter. Each call carries "uploads": [{"destination","state","reason"}], where it went,
//       and "alerted": whether an alert named it (alerts=1: only those).
//   GET /api/calls/ID/audio   audio/ogg, single byte ranges (206, 416), ETag (304), a file name

#include <string>
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

}  // namespace quillon::calls
