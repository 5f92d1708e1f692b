#pragma once
// The window model as the operator console sees it: JSON for the whole window, for one control
// and for each change, and the operator actions a console request asks for. No networking here
// (console_server.cpp carries the requests); everything runs on the loop thread.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "window/controls.hpp"

namespace quillon::console {

using nlohmann::json;

// Every control in creation order with its state, the pending message boxes, the caption.
json window_json(const ui::Window& w);
json control_json(const ui::Control& c);
// One event of the change stream.
json change_json(const ui::Control& c, std::string_view property);
json message_json(const ui::MessageBox& m, bool shown);
// The last event of the stream: the server is going away.
json stopped_json();

// Serialises for the wire; texts that are not valid UTF-8 (bytes from a radio) are replaced
// character by character instead of failing.
std::string to_text(const json& j);

struct Reply {
  int status;  // HTTP status: 200, or a 4xx that changed nothing
  json body;
};

// Runs one operator action given as a JSON request body:
//   {"action":"click","control":"Command2"}             (and "index":0 for an array element)
//   {"action":"set_text","control":"Text11","index":0,"text":"North"}
//   {"action":"select","control":"Combo1","position":2}
//   {"action":"set_value","control":"Check1","index":0,"value":1}
//   {"action":"acknowledge","id":3}
// A request that cannot be carried out is answered with a 4xx reply and changes nothing.
Reply run_action(ui::Window& w, std::string_view body);

}  // namespace quillon::console
