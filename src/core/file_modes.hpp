#pragma once
// Modes of what the server writes in its data directory, whatever the umask.

namespace quillon {

// Folders the server creates are 0750; its files are 0640.
inline constexpr unsigned kDataDirMode = 0750;
inline constexpr unsigned kDataFileMode = 0640;

}  // namespace quillon
