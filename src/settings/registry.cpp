// The hive files behind regget/regset. Each call reads the file afresh (an operator may edit it
// between runs or while the server runs); a write replaces the whole file atomically: the new
// text goes to a temporary file in the same directory, is flushed to disk, renamed over the hive
// and the directory entry is flushed, so a crash at any moment leaves the old file or the new
// one. A file that cannot be parsed is renamed to "<hive>.corrupt" and reads as empty.
#include "settings/registry.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <optional>

#include "core/errors.hpp"
#include "settings/numbers.hpp"
#include "settings/regfile.hpp"

namespace quillon::settings {

namespace fs = std::filesystem;

namespace {

constexpr int kOverflow = 6;  // a number that does not fit a 32-bit integer

// A hive is a few kilobytes; anything near this size is not ours and is not read into memory.
constexpr std::size_t kMaxHiveBytes = std::size_t{1} << 20;

const char* root_name(Root root) { return root == Root::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER"; }

std::string full_key(Root root, std::string_view keypath) {
  while (!keypath.empty() && keypath.front() == '\\') keypath.remove_prefix(1);
  while (!keypath.empty() && keypath.back() == '\\') keypath.remove_suffix(1);
  std::string k = root_name(root);
  if (!keypath.empty()) {
    k += '\\';  // appended piecewise: "\\" + string draws a false -Wrestrict from GCC 12 at -O3
    k += keypath;
  }
  return k;
}

bool has_control_char(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) < 0x20) return true;
  return false;
}

std::string sys_error(const std::string& what, int e) { return what + ": " + std::strerror(e); }

// The text value of stored data: REG_SZ up to its first NUL, REG_DWORD as a signed integer.
RegValue value_of(const RegData& d) {
  if (d.type == kRegSz) {
    const auto nul = d.bytes.find('\0');
    return d.bytes.substr(0, nul);
  }
  if (d.type == kRegDword && d.bytes.size() == 4) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(d.bytes[static_cast<std::size_t>(i)]);
    return static_cast<std::int32_t>(v);
  }
  return std::string{};
}

// What regset stores for a value.
RegData data_for(std::string_view value) {
  if (auto n = numeric_value(value)) {
    const auto r = whole_number(*n);
    if (!r || *r < std::int64_t{INT32_MIN} || *r > std::int64_t{INT32_MAX}) throw Error(kOverflow, "number out of 32-bit range");
    const auto v = static_cast<std::uint32_t>(static_cast<std::int32_t>(*r));
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xff);
    return RegData{kRegDword, std::move(bytes)};
  }
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  std::string text(value);
  text += '\0';
  return RegData{kRegSz, std::move(text)};
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

// The state of one hive as loaded for a call (or for a whole batch).
struct Hive {
  RegFile file;
  bool writable = true;  // false: the existing file could not be read, a write would lose it
  bool dirty = false;
};

struct RegistryStore::Impl {
  fs::path dir;
  int batch_depth = 0;
  std::optional<Hive> batch[2];
  std::function<void(const std::string&)> notice = [](const std::string& s) {
    std::cerr << "quillon: " << s << std::endl;
  };

  fs::path path(Root root) const { return dir / (root == Root::LocalMachine ? "hklm.reg" : "hkcu.reg"); }

  Hive load(Root root) {
    Hive h;
    const fs::path p = path(root);
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      if (errno != ENOENT) {
        h.writable = false;
        notice(sys_error("settings file " + p.string() + " cannot be read", errno));
      }
      return h;
    }
    FdCloser closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      h.writable = false;
      notice("settings file " + p.string() + " is not a regular file; it is left alone");
      return h;
    }
    std::string text;
    bool too_big = false;
    char buf[16384];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        h.writable = false;
        notice(sys_error("settings file " + p.string() + " cannot be read", errno));
        return h;
      }
      if (n == 0) break;
      if (text.size() + static_cast<std::size_t>(n) > kMaxHiveBytes) {
        too_big = true;
        break;
      }
      text.append(buf, static_cast<std::size_t>(n));
    }
    std::optional<RegFile> parsed;
    if (!too_big) parsed = parse_regfile(text);
    if (parsed) {
      h.file = std::move(*parsed);
      return h;
    }
    set_aside(p, too_big ? "is larger than 1 MiB" : "cannot be parsed", h);
    return h;
  }

  void set_aside(const fs::path& p, const std::string& why, Hive& h) {
    fs::path aside = p;
    aside += ".corrupt";
    if (::rename(p.c_str(), aside.c_str()) == 0) {
      notice("settings file " + p.string() + " " + why + "; kept as " + aside.string() + ", defaults used");
    } else {
      h.writable = false;  // it stays where it is; do not write over it
      notice(sys_error("settings file " + p.string() + " " + why + " and cannot be set aside; defaults used", errno));
    }
  }

  void save(Root root, const Hive& h) {
    if (!h.writable) throw Error(errc::generic, "settings file " + path(root).string() + " is unreadable; not overwritten");
    std::error_code ec;
    fs::create_directories(dir, ec);
    const fs::path p = path(root);
    fs::path tmp = p;
    tmp += ".tmp";
    const std::string text = format_regfile(h.file);
    // A temporary file left by a crash is simply truncated and reused.
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (fd < 0) throw Error(errc::generic, sys_error("cannot write " + tmp.string(), errno));
    bool ok = write_all(fd, text);
    int e = ok ? 0 : errno;
    if (ok && ::fsync(fd) != 0) ok = false, e = errno;
    if (::close(fd) != 0 && ok) ok = false, e = errno;
    if (ok && ::rename(tmp.c_str(), p.c_str()) != 0) ok = false, e = errno;
    if (!ok) {
      ::unlink(tmp.c_str());
      throw Error(errc::generic, sys_error("cannot write " + p.string(), e));
    }
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);  // some file systems refuse; the rename itself has happened
      ::close(dfd);
    }
  }

  Hive& batch_hive(Root root) {
    auto& slot = batch[root == Root::LocalMachine ? 0 : 1];
    if (!slot) slot = load(root);
    return *slot;
  }
};

RegistryStore::RegistryStore(std::filesystem::path registry_dir) : impl_(new Impl) { impl_->dir = std::move(registry_dir); }
RegistryStore::~RegistryStore() { delete impl_; }

RegValue RegistryStore::regget(Root root, std::string_view keypath, std::string_view name) {
  try {
    const std::string key = full_key(root, keypath);
    if (impl_->batch_depth > 0) {
      const RegEntry* e = find_value(impl_->batch_hive(root).file, key, name);
      return e && e->data ? value_of(*e->data) : RegValue{std::string{}};
    }
    const Hive h = impl_->load(root);
    const RegEntry* e = find_value(h.file, key, name);
    return e && e->data ? value_of(*e->data) : RegValue{std::string{}};
  } catch (const std::exception&) {
    return std::string{};  // an unreadable store reads as absent
  }
}

void RegistryStore::regset(Root root, std::string_view keypath, std::string_view name, std::string_view value) {
  if (has_control_char(keypath) || has_control_char(name) || keypath.find(']') != std::string_view::npos)
    throw Error(errc::generic, "a key or value name with control characters cannot be stored");
  RegData data = data_for(value);
  const std::string key = full_key(root, keypath);
  if (impl_->batch_depth > 0) {
    Hive& h = impl_->batch_hive(root);
    if (!h.writable) throw Error(errc::generic, "settings file " + hive_path(root).string() + " is unreadable");
    set_value(h.file, key, name, std::move(data));
    h.dirty = true;
    return;
  }
  Hive h = impl_->load(root);
  set_value(h.file, key, name, std::move(data));
  impl_->save(root, h);
}

void RegistryStore::begin_batch() { ++impl_->batch_depth; }

void RegistryStore::commit_batch() {
  if (impl_->batch_depth == 0) return;
  if (--impl_->batch_depth > 0) return;
  std::optional<Error> failure;
  for (int r = 0; r < 2; ++r) {
    auto& slot = impl_->batch[r];
    if (slot && slot->dirty) {
      try {
        impl_->save(r == 0 ? Root::LocalMachine : Root::CurrentUser, *slot);
      } catch (const Error& e) {
        failure = e;
      }
    }
    slot.reset();
  }
  if (failure) throw *failure;
}

std::filesystem::path RegistryStore::hive_path(Root root) const { return impl_->path(root); }

void RegistryStore::set_notice(std::function<void(const std::string&)> notice) { impl_->notice = std::move(notice); }

std::string SettingsStore::getreg(std::string_view name, std::string_view default_value) {
  RegValue v = store_.regget(Root::LocalMachine, kSettingsKey, name);
  std::string s = std::holds_alternative<std::int32_t>(v) ? std::to_string(std::get<std::int32_t>(v)) : std::get<std::string>(v);
  if (s.empty()) s = default_value;
  if (s.empty()) return s;
  s.pop_back();
  return s;
}

void SettingsStore::savereg(std::string_view name, std::string_view value) {
  store_.regset(Root::LocalMachine, kSettingsKey, name, value);
}

}  // namespace quillon::settings
