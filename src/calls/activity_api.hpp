#pragma once
// /api/activity apart from any server: a request's query in, the question for the index out; the
// index's answer in, the JSON out. Hours of the day and days are the server's local time.
//
//   GET /api/activity?channel=&frequency_hz=&q=&days=7|30|90&hours=1..24
//
// The period is the last `days` local days, today included (from local midnight); the timeline
// the last `hours` hours. See docs/calls.md for the answer's fields and how "quiet" is judged.

#include <cstdint>
#include <string>
#include <variant>

#include "calls/call_activity.hpp"

namespace quillon::calls {

// A frequency is quiet when it had at least kQuietBusyCalls calls in the period but none in the
// last kQuietHours hours.
inline constexpr int kQuietBusyCalls = 20;
inline constexpr int kQuietHours = 72;
inline constexpr int kTopCount = 20;

struct ActivityRequest {
  ActivityQuery query;
  int days = 7;
  int hours = 6;
  std::int64_t now_ms = 0;
};

// The question for `now_ms`, or the message of a 400 answer.
std::variant<ActivityRequest, std::string> parse_activity_request(const std::string& query, std::int64_t now_ms);

// The JSON answer. `kept`: the per-hour tables are in step with the calls.
std::string activity_json(const ActivityRequest& request, const Activity& activity, bool kept);

}  // namespace quillon::calls
