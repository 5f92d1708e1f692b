#pragma once
// A stored call as the HTTP API and the event stream show it.

#include <nlohmann/json.hpp>

#include "calls/call_store.hpp"

namespace quillon::calls {

nlohmann::json call_json(const CallRecord& r);
// The download name of a call's audio: "quillon-c1-20261208-024107.250.opus".
std::string download_name(const CallRecord& r);

}  // namespace quillon::calls
