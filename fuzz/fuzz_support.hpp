#pragma once
// Shared pieces of the fuzz targets: a deterministic way to cut an input into pieces, and a
// private folder for targets that need a data directory.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace quillon::fuzz {

// Cuts a byte stream into pieces whose lengths (1..max_piece) and following pauses (0..max_gap
// ms) come from a small generator seeded by one byte of the input. The stream itself stays
// readable in the corpus; the seed byte lets the fuzzer vary where the cuts fall.
class Pieces {
 public:
  Pieces(std::string_view stream, std::uint8_t seed, std::size_t max_piece, int max_gap)
      : rest_(stream), state_(seed * 2654435761u + 1u), max_piece_(max_piece), max_gap_(max_gap) {}

  bool next(std::string_view& piece, int& gap_ms) {
    if (rest_.empty()) return false;
    const std::size_t n = std::min<std::size_t>(rest_.size(), 1 + draw() % max_piece_);
    piece = rest_.substr(0, n);
    rest_.remove_prefix(n);
    gap_ms = max_gap_ > 0 ? static_cast<int>(draw() % static_cast<unsigned>(max_gap_ + 1)) : 0;
    return true;
  }

 private:
  unsigned draw() {
    state_ = state_ * 1103515245u + 12345u;
    return (state_ >> 8) & 0xFFFFFF;
  }
  std::string_view rest_;
  std::uint32_t state_;
  std::size_t max_piece_;
  int max_gap_;
};

// A fresh folder for this process, removed at exit.
inline std::filesystem::path private_dir(const std::string& tag) {
  static std::filesystem::path dir;
  dir = std::filesystem::temp_directory_path() / ("quillon-fuzz-" + tag + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "registry");
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  });
  return dir;
}

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

}  // namespace quillon::fuzz
