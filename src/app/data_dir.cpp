#include "app/data_dir.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quillon {

std::filesystem::path resolve_data_dir(const std::optional<std::string>& from_command_line) {
  if (from_command_line && !from_command_line->empty()) return *from_command_line;
  if (const char* env = std::getenv("QUILLON_DATA_DIR"); env && *env) return env;
  if (::geteuid() == 0) return "/var/lib/quillon";
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) return std::filesystem::path(xdg) / "quillon";
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : ".") / ".local/state/quillon";
}

namespace {

// mkdir -p with kDataDirMode for every folder it creates; existing folders keep their mode.
// Returns errno of the first failure, 0 on success.
int make_dirs(const std::filesystem::path& dir) {
  std::filesystem::path p;
  for (const auto& part : dir.lexically_normal()) {
    p /= part;
    if (part.empty() || part == "/" || part == "." || part == "..") continue;
    if (::mkdir(p.c_str(), kDataDirMode) == 0) {
      // mkdir honours the umask only to remove bits; chmod makes the mode exact even under 000.
      ::chmod(p.c_str(), kDataDirMode);
      continue;
    }
    if (errno != EEXIST) return errno;
  }
  struct stat st{};
  if (::stat(dir.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

std::string prepare_data_dir(const std::filesystem::path& dir) {
  for (const auto& d : {dir, dir / "registry", dir / "ports"}) {
    if (const int e = make_dirs(d); e != 0)
      return "cannot create data directory " + d.string() + ": " + std::strerror(e);
  }
  for (const auto& d : {dir, dir / "registry"}) {
    if (::access(d.c_str(), W_OK | X_OK) != 0) return "data directory " + d.string() + " is not writable: " + std::strerror(errno);
  }
  return {};
}

}  // namespace quillon
