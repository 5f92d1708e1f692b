#pragma once
// Audio levels of the channels for the console's meters: peak and RMS of the captured PCM over
// short windows, in dBFS, published a few times a second while someone watches. It taps the
// codec's PCM only while watched, so a server with no console page open pays nothing.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/event_loop.hpp"

namespace quillon::audio {

// What silence, and a channel that captures nothing, read as.
inline constexpr double kLevelFloor = -90.0;

// Peak and mean square of the samples added since the last take(): an absolute value, a
// compare and one multiply-add per sample.
class LevelWindow {
 public:
  struct Levels {
    double peak = kLevelFloor;  // dBFS, 0 is full scale (32768)
    double rms = kLevelFloor;   // dBFS of the root mean square: a full-scale sine is -3
    std::size_t samples = 0;
  };

  void add(const std::int16_t* samples, std::size_t count);
  // The levels of the window, floored at kLevelFloor; starts the next window.
  Levels take();

 private:
  std::int32_t peak_ = 0;
  std::uint64_t sum_squares_ = 0;
  std::size_t count_ = 0;
};

class LevelMeters {
 public:
  using PcmTap = std::function<void(const std::int16_t* samples, std::size_t count, int rate)>;
  // Where a channel's captured PCM can be tapped (the codec's taps).
  struct Source {
    std::function<int(PcmTap)> add_tap;
    std::function<void(int)> remove_tap;
  };
  using Publish = std::function<void(std::string text)>;

  static constexpr Millis kPeriod{250};
  // A window without samples repeats the last levels this long (capture arrives in bursts),
  // then the channel reads as not capturing.
  static constexpr Millis kHold{1000};

  LevelMeters(EventLoop& loop, std::array<Source, 4> sources, Publish publish);
  ~LevelMeters();
  LevelMeters(const LevelMeters&) = delete;
  LevelMeters& operator=(const LevelMeters&) = delete;

  // While true, taps the four channels and publishes every kPeriod:
  //   {"type":"levels","channels":[{"channel":1,"peak":-12.5,"rms":-21.0,"capturing":true},...]}
  // A channel that delivered nothing for kHold is {"peak":-90.0,"rms":-90.0,"capturing":false}.
  void watch(bool on);
  bool watching() const { return watching_; }

 private:
  struct Channel {
    LevelWindow window;
    LevelWindow::Levels last;
    TimePoint last_samples{};
    int tap = 0;
  };
  void tick();
  void schedule();

  EventLoop& loop_;
  std::array<Source, 4> sources_;
  Publish publish_;
  std::array<Channel, 4> ch_;
  EventLoop::TimerId timer_ = 0;
  bool watching_ = false;
};

}  // namespace quillon::audio
