#pragma once
// The apprise command as an alert destination, behind the request interface: a request's url is
// the Apprise URL, its body the text, its headers "title" and "attach" (a file). The command runs
// on a thread of its own, never on the loop, and is killed when it takes longer than a minute;
// its exit status comes back as the answer (0: 200, otherwise 500 with what it said).

#include <memory>

#include "calls/upload_http.hpp"
#include "core/event_loop.hpp"

namespace quillon::calls {

inline constexpr int kAppriseSeconds = 60;

// `program` is the command to run ("apprise", found on PATH), ended after `seconds`.
std::unique_ptr<HttpClient> make_apprise_client(EventLoop& loop, std::string program = "apprise", int seconds = kAppriseSeconds);

// Whether the program is found on PATH (or is a path that can be run).
bool program_available(const std::string& program);

}  // namespace quillon::calls
