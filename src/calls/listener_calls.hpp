#pragma once
// The recent calls on the listeners' page, only of the channels a listener may hear:
//   GET /live/calls               {"calls":[{id, channel, start, duration_ms, frequency_hz, tags,
//                                   audio}, ...]}, newest first, at most 20
//   GET /live/calls/audio?id=N    that call's audio (Range and ETag as on /api/calls)
// Served on the console listener's /live page and the public listening port alike.

#include <array>
#include <functional>
#include <optional>

namespace quillon {
class ConsoleServer;
struct ConsoleRequest;
}  // namespace quillon

namespace quillon::calls {

class CallStore;

// The channels the request's listener may hear, or nothing without access.
using ChannelsFor = std::function<std::optional<std::array<bool, 4>>(const ConsoleRequest&)>;

void serve_listener_calls(ConsoleServer& server, CallStore& store, ChannelsFor channels_for);

}  // namespace quillon::calls
