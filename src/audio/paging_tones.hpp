#pragma once
// Paging tones in a channel's audio: two-tone sequential (A then B) and long single tones, as
// fire and rescue dispatch sends them. Fed with PCM as it comes; says which tone sets ended.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillon::audio {
struct ToneSet { std::string name; double a_hz = 0; std::optional<double> b_hz; int a_ms = 800;
  int b_ms = 2500; int long_ms = 2000; double tolerance_pct = 1.5; double min_level_dbfs = -30; };
struct ToneOut { std::size_t set; std::int64_t end_sample; };
class PagingToneDetector { public:
  PagingToneDetector(std::vector<ToneSet> sets, int sample_rate);
  std::vector<ToneOut> feed(const std::int16_t* samples, std::size_t count);  // tone-outs that ended in these samples
  const std::vector<ToneSet>& sets() const;
 private:
  struct Track { int a_blocks = 0, b_blocks = 0, gap = 0; bool in_b = false; };
  void block();
  std::vector<ToneSet> sets_;
  int rate_;
  std::size_t block_size_;
  std::vector<std::int16_t> buf_;
  std::int64_t samples_ = 0;
  std::vector<Track> tracks_;
  std::vector<ToneOut> out_;
};
}
