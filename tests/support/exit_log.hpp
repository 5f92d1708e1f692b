#pragma once
// Reading the exit log in tests: the message of every line, and the log a full shutdown leaves.

#include <filesystem>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace quillon::test {

inline std::vector<std::string> log_messages(const std::filesystem::path& file) {
  std::vector<std::string> out;
  const std::string text = Process::slurp(file);
  std::size_t pos = 0, end;
  while ((end = text.find("\r\n", pos)) != std::string::npos) {
    const std::string line = text.substr(pos, end - pos);
    pos = end + 2;
    const auto sep = line.rfind(" - ");
    out.push_back(sep == std::string::npos ? line : line.substr(sep + 3));
  }
  return out;
}

inline std::vector<std::string> save_markers() {
  return {"writereg_start",  "writereg_start1", "writereg_start2", "writereg_start3", "writereg_start4",
          "writereg_start5", "writereg_start6", "writereg_start7", "writereg_start8", "writereg_end"};
}

// Close request, save, save again, timers, audio, the four channels' sockets.
inline std::vector<std::string> full_shutdown_log() {
  std::vector<std::string> e{"queryonload"};
  auto add = [&](const std::vector<std::string>& v) { e.insert(e.end(), v.begin(), v.end()); };
  add(save_markers());
  add({"unload1"});
  add(save_markers());
  add({"unload2", "stoptimer_start", "stoptimer_ends1", "stoptimer_ends2", "unload3", "stopserver_start",
       "stopserver_start1", "stopserver_start2", "stopserver_start3", "stopserver_end", "unload4"});
  for (int c = 1; c <= 4; ++c)
    add({"stopwinsocket", "stopwinsocket_c" + std::to_string(c) + "s", "stopwinsocket_c" + std::to_string(c) + "e",
         "unload" + std::to_string(c + 4)});
  add({"unload-complete"});
  return e;
}

}  // namespace quillon::test
