#pragma once
// The status frame of each enabled channel, rebuilt every 25 ms (Timer7(k-1)) into
// statusframe(k-1): the radio's display text and status lines, frame counter and time stamp,
// ports, audio state, client counts, send periods, sample rate, audio clients, version, site
// name and audio transport; 24 lines joined by CR LF with none at either end.

#include <ctime>
#include <string>

#include "window/frmserver.hpp"

namespace quillon::netdata {

// The seconds since midnight as a single-precision number: at most seven significant digits,
// point as decimal separator, trailing zeros (and a bare point) dropped.
std::string seconds_text(float seconds);

// Time of day of a wall-clock instant in local time, computed once per second.
class TimeOfDay {
 public:
  struct Stamp {
    float seconds;         // since local midnight, with fractions
    const char* hh_mm_ss;  // "HH:MM:SS"
  };
  Stamp at(WallClock::time_point t);

 private:
  std::time_t cached_ = -1;
  long since_midnight_ = 0;
  char text_[16] = {};
};

class StatusFrame {
 public:
  explicit StatusFrame(Frmserver& form);

  // One tick of channel k (Timer7(k-1)).
  void build(int channel);

 private:
  Frmserver& f_;
  TimeOfDay clock_;
  std::string frame_;  // reused between builds
};

}  // namespace quillon::netdata
