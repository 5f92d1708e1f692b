#pragma once
// Where the server keeps its files: --data-dir, else $QUILLON_DATA_DIR, else /var/lib/quillon
// for root and $XDG_STATE_HOME/quillon (or ~/.local/state/quillon) for others.

#include <filesystem>
#include <optional>
#include <string>

namespace quillon {

std::filesystem::path resolve_data_dir(const std::optional<std::string>& from_command_line);
// Creates the directory (and its registry/ and ports/ folders) and checks it is writable;
// throws std::runtime_error with a message for the operator otherwise.
void prepare_data_dir(const std::filesystem::path& dir);

}  // namespace quillon
