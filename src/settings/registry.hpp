#pragma once
// The registry-style settings store. The machine-wide hive is a file in the "REGEDIT4" export
// format (DATA/registry/hklm.reg) that an operator can read and edit; keys and values the server
// does not own are kept on every write. Writes are atomic (temporary file, fsync, rename).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "settings/numbers.hpp"

namespace quillon::settings {

enum class Root { LocalMachine, CurrentUser };

inline constexpr std::string_view kSettingsKey = "Software\\Drovani\\Quillon785\\settings";

// A stored value as read: text (REG_SZ, up to its first NUL) or a 32-bit integer (REG_DWORD).
// The empty text stands for "absent, unreadable or of another type".
using RegValue = std::variant<std::string, std::int32_t>;

class RegistryStore {
 public:
  // registry_dir holds one hive file per root: hklm.reg, hkcu.reg.
  explicit RegistryStore(std::filesystem::path registry_dir);
  ~RegistryStore();
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  RegValue regget(Root root, std::string_view keypath, std::string_view name);
  // Numeric text is stored as REG_DWORD; other text trimmed, as REG_SZ with a counted NUL.
  // Creates the key path. Throws quillon::Error when the value cannot be stored.
  void regset(Root root, std::string_view keypath, std::string_view name, std::string_view value);

  // Between begin_batch and commit_batch every regset is collected and written in one atomic
  // file replacement (one save of all settings is one write).
  void begin_batch();
  void commit_batch();

  std::filesystem::path hive_path(Root root) const;

  // Where notable events go (a corrupt file set aside, an unreadable file); standard error
  // unless replaced.
  void set_notice(std::function<void(const std::string&)> notice);

 private:
  struct Impl;
  Impl* impl_;
};

// Settings level: the fixed root and key. getreg drops the last character (the "x" marker).
class SettingsStore {
 public:
  explicit SettingsStore(RegistryStore& store) : store_(store) {}
  std::string getreg(std::string_view name, std::string_view default_value);
  void savereg(std::string_view name, std::string_view value);
  RegistryStore& store() { return store_; }

 private:
  RegistryStore& store_;
};

}  // namespace quillon::settings
