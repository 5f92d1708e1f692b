#include "app/data_dir.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace quillon {

std::filesystem::path resolve_data_dir(const std::optional<std::string>& from_command_line) {
  if (from_command_line && !from_command_line->empty()) return *from_command_line;
  if (const char* env = std::getenv("QUILLON_DATA_DIR"); env && *env) return env;
  if (::geteuid() == 0) return "/var/lib/quillon";
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) return std::filesystem::path(xdg) / "quillon";
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : ".") / ".local/state/quillon";
}

void prepare_data_dir(const std::filesystem::path& dir) {
  std::error_code ec;
  for (const auto& d : {dir, dir / "registry", dir / "ports"}) {
    std::filesystem::create_directories(d, ec);
    if (ec) throw std::runtime_error("cannot create data directory " + d.string() + ": " + ec.message());
  }
  if (!std::filesystem::is_directory(dir)) throw std::runtime_error(dir.string() + " is not a directory");
  if (::access(dir.c_str(), W_OK | X_OK) != 0)
    throw std::runtime_error("data directory " + dir.string() + " is not writable");
}

}  // namespace quillon
