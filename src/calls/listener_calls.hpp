#pragma once
// The recent calls on the listeners' page, only of the channels a listener may hear:
//   GET /live/calls               {"calls":[{id, channel, start, duration_ms, frequency_hz, tags,
//                                   audio}, ...]}, newest first, at most 20
//                                 (a transmission several of those channels heard: once)
//   GET /live/calls/audio?id=N    that call's audio (Range and ETag as on /api/calls)
// Served on the console listener's /live page and the public listening port alike.

#include <array>
#include <functional>
#include <optional>
#include <vector>

#include "calls/call_store.hpp"

namespace quillon {
class ConsoleServer;
struct ConsoleRequest;
}  // namespace quillon

namespace quillon::calls {

// The channels the request's listener may hear, or nothing without access.
using ChannelsFor = std::function<std::optional<std::array<bool, 4>>(const ConsoleRequest&)>;

// The calls in their order with each linked transmission once: its shown recording, or of those
// here the one with the highest signal_max (the earlier stored on a tie).
std::vector<CallRecord> once_per_transmission(std::vector<CallRecord> calls);

void serve_listener_calls(ConsoleServer& server, CallStore& store, ChannelsFor channels_for);

}  // namespace quillon::calls
