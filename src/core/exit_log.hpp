#pragma once
// The exit log: DATA/exitlog.txt, one line per call "HH:MM:SS - MM-DD-YYYY - 0 - message" with
// CR LF, opened, appended and closed each time. A line that cannot be written is lost silently.

#include <filesystem>
#include <string_view>

#include "core/event_loop.hpp"

namespace quillon {

class ExitLog {
 public:
  ExitLog(std::filesystem::path file, EventLoop& loop) : file_(std::move(file)), loop_(loop) {}
  void writeexitlog(std::string_view message);
  // Start-up deletes the log of the previous run; a missing file is no error.
  void remove();
  const std::filesystem::path& path() const { return file_; }

 private:
  std::filesystem::path file_;
  EventLoop& loop_;
};

}  // namespace quillon
