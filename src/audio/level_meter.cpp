#include "audio/level_meter.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quillon::audio {

namespace {

double dbfs(double amplitude) {
  if (amplitude <= 0.0) return kLevelFloor;
  return std::max(kLevelFloor, 20.0 * std::log10(amplitude / 32768.0));
}

}  // namespace

void LevelWindow::add(const std::int16_t* samples, std::size_t count) {
  std::int32_t peak = peak_;
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::int32_t v = samples[i];
    const std::int32_t a = v < 0 ? -v : v;
    peak = a > peak ? a : peak;
    sum += static_cast<std::uint64_t>(v * v);
  }
  peak_ = peak;
  sum_squares_ += sum;
  count_ += count;
}

LevelWindow::Levels LevelWindow::take() {
  Levels l;
  l.samples = count_;
  if (count_ > 0) {
    l.peak = dbfs(peak_);
    l.rms = dbfs(std::sqrt(static_cast<double>(sum_squares_) / static_cast<double>(count_)));
  }
  *this = LevelWindow();
  return l;
}

LevelMeters::LevelMeters(EventLoop& loop, std::array<Source, 4> sources, Publish publish)
    : loop_(loop), sources_(std::move(sources)), publish_(std::move(publish)) {}

LevelMeters::~LevelMeters() { watch(false); }

void LevelMeters::watch(bool on) {
  if (on == watching_) return;
  watching_ = on;
  if (on) {
    const TimePoint now = loop_.now();
    for (std::size_t k = 0; k < ch_.size(); ++k) {
      Channel& c = ch_[k];
      c = Channel();
      c.last_samples = now - kHold;  // nothing heard yet
      if (sources_[k].add_tap)
        c.tap = sources_[k].add_tap([&c](const std::int16_t* s, std::size_t n, int) { c.window.add(s, n); });
    }
    schedule();
  } else {
    loop_.cancel(timer_);
    timer_ = 0;
    for (std::size_t k = 0; k < ch_.size(); ++k)
      if (ch_[k].tap && sources_[k].remove_tap) sources_[k].remove_tap(ch_[k].tap);
    for (Channel& c : ch_) c.tap = 0;
  }
}

void LevelMeters::schedule() {
  timer_ = loop_.call_after(kPeriod, [this] {
    timer_ = 0;
    tick();
    if (watching_) schedule();
  });
}

void LevelMeters::tick() {
  const TimePoint now = loop_.now();
  std::string text = R"({"type":"levels","channels":[)";
  for (std::size_t k = 0; k < ch_.size(); ++k) {
    Channel& c = ch_[k];
    LevelWindow::Levels l = c.window.take();
    if (l.samples > 0) {
      c.last = l;
      c.last_samples = now;
    } else if (now - c.last_samples < kHold) {
      l = c.last;
    }
    const bool capturing = now - c.last_samples < kHold;
    char item[112];
    std::snprintf(item, sizeof item, R"(%s{"channel":%zu,"peak":%.1f,"rms":%.1f,"capturing":%s})", k ? "," : "", k + 1,
                  capturing ? l.peak : kLevelFloor, capturing ? l.rms : kLevelFloor, capturing ? "true" : "false");
    text += item;
  }
  text += "]}";
  publish_(std::move(text));
}

}  // namespace quillon::audio
