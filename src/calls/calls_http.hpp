#pragma once
// The calls on the console listener: /api/calls and each call's audio (calls_api.hpp).

namespace quillon {
class ConsoleServer;
}

namespace quillon::calls {

class CallStore;

void serve_calls(ConsoleServer& console, CallStore& store);

}  // namespace quillon::calls
