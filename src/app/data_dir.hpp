#pragma once
// Where the server keeps its files: --data-dir, else $QUILLON_DATA_DIR, else /var/lib/quillon
// for root and $XDG_STATE_HOME/quillon (or ~/.local/state/quillon) for others.

#include <filesystem>
#include <optional>
#include <string>

#include "core/file_modes.hpp"

namespace quillon {

std::filesystem::path resolve_data_dir(const std::optional<std::string>& from_command_line);
// Creates the directory (and its registry/ and ports/ folders) and checks it is writable.
// Returns what cannot be written and why, empty when all is well. The server runs either way:
// without a writable directory the exit log loses its lines and settings cannot be stored.
std::string prepare_data_dir(const std::filesystem::path& dir);

}  // namespace quillon
