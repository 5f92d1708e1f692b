#pragma once
// /api/activity on the console listener (activity_api.hpp): each question is asked on the
// reader's thread and answered back on the loop, so a long one never holds the loop.

#include <memory>

namespace quillon {
class ConsoleServer;
class EventLoop;
}  // namespace quillon

namespace quillon::calls {

class CallStore;
class ActivityReader;

// The reader behind the route: keep it while the console serves.
std::unique_ptr<ActivityReader> serve_activity(ConsoleServer& console, CallStore& store, EventLoop& loop);

}  // namespace quillon::calls
