#include "calls/call_recorder.hpp"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "audio/listen_encoder.hpp"
#include "calls/call_json.hpp"
#include "calls/call_filer.hpp"
#include "core/log.hpp"

namespace quillon::calls {

namespace fs = std::filesystem;

namespace {

// Scanner audio is narrowband voice (300-3000 Hz): Opus at 8000 Hz keeps it clear
// (tests/calls/call_clarity_test.cpp holds the clarity, bench/calls_recorder_cpu the cost).
// Every call of every channel is encoded, heard or not, and the encoding is nearly all a
// recording costs: the cheapest Opus there is. Its transform codec alone at complexity 0 costs
// about 40 % of its speech model at complexity 0 (the speech model's cheapest), and 60 ms
// packets a little less than 20 or 40 ms; at 20 kbit/s it keeps speech as close to what went in
// as the speech model did at 16 (docs/calls.md).
constexpr audio::EncoderSettings encoding(int bitrate_kbps) {
  audio::EncoderSettings s{bitrate_kbps, 8000};
  s.complexity = 0;
  s.transform_only = true;
  s.frame_ms = 60;
  return s;
}
constexpr Millis kTick{100};
constexpr int kSpaceCheckTicks = 50;       // every 5 s
constexpr int kRetainTicks = 10 * 60 * 10;  // every 10 minutes

Gate gate_of(const std::string& g) {
  if (g == "squelch") return Gate::Squelch;
  if (g == "level") return Gate::Level;
  if (g == "both") return Gate::Both;
  return Gate::Auto;
}

std::string trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\r' || s.front() == '\n')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return std::string(s);
}

// The digits after `key` in `text` as a number; nothing when there are none.
std::optional<std::int64_t> number_after(std::string_view text, char key) {
  const auto at = text.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::int64_t v = 0;
  std::size_t i = at + 1, n = 0;
  for (; i < text.size() && n < 12 && text[i] >= '0' && text[i] <= '9'; ++i, ++n) v = v * 10 + (text[i] - '0');
  if (n == 0) return std::nullopt;
  return v;
}

// "2026/12/08/c1-024107250.opus"
std::string file_name(int channel, std::int64_t start_ms, int part) {
  const std::time_t secs = static_cast<std::time_t>(start_ms / 1000);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d/%02d/%02d/c%d-%02d%02d%02d%03d%s.opus", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                channel, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(start_ms % 1000),
                part > 1 ? ("-p" + std::to_string(part)).c_str() : "");
  return buf;
}

}  // namespace

// One channel: its cutter, its tap, and the call being written.
class CallRecorder::Channel final : public CallOutput {
 public:
  Channel(CallRecorder& r, int channel, PcmSource source, const CutSettings& cut)
      : r_(r), channel_(channel), source_(std::move(source)), cutter_(r.loop_, cut, *this) {}
  ~Channel() override {
    stop();
    drop_file();
  }

  CallCutter& cutter() { return cutter_; }
  RadioView& view() { return view_; }
  const RadioView& view() const { return view_; }
  // The call running now: when it began (UTC ms).
  std::int64_t call_start_ms() const { return start_.start_ms; }
  bool in_call() const { return cutter_.in_call(); }
  metrics::CallFigures& figures() { return figures_; }

  void start() {
    if (tap_ || !source_.add) return;
    tap_ = source_.add([this](const std::int16_t* s, std::size_t n, int rate) { cutter_.pcm(s, n, rate); });
  }
  void stop() {
    cutter_.stop();
    if (tap_ && source_.remove) source_.remove(tap_);
    tap_ = 0;
  }
  bool capturing() const { return source_.capturing && source_.capturing(); }

  void begin(const CallStart& start) override {
    start_ = start;
    samples_ = 0;
    rate_ = 0;
    bytes_ = 0;
    failed_.clear();
    file_ = file_name(channel_, start.start_ms, start.part);
    if (r_.free_bytes() < kStopFreeBytes) {
      r_.set_disk_full(true, "less than 1 MiB free");
      failed_ = "disk full";
      return;
    }
    try {
      encoder_ = audio::make_encoder(audio::ListenFormat::Opus, encoding(r_.cfg_.bitrate));
    } catch (const std::exception& e) {
      failed_ = std::string("encoder: ") + e.what();
      return;
    }
    temp_ = r_.store_->temp_path(file_);
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd_ < 0) {
      fail_write("cannot create " + temp_.string());
      return;
    }
    for (const auto& h : encoder_->headers()) write(h);
  }

  void audio(const std::int16_t* samples, std::size_t count, int rate) override {
    if (!failed_.empty() || !encoder_) return;
    if (rate != rate_ && rate_ != 0) samples_ = samples_ * static_cast<std::uint64_t>(rate) / static_cast<std::uint64_t>(rate_);
    rate_ = rate;
    samples_ += count;
    encoder_->encode(samples, count, rate, [this](std::span<const std::uint8_t> page) { write(page); });
  }

  void end(const CallEnd& e) override {
    if (!e.keep) {
      drop_file();
      if (failed_.empty() && !e.abandoned) ++figures_.dropped_short;
      return;
    }
    if (failed_.empty() && encoder_) encoder_->finish([this](std::span<const std::uint8_t> page) { write(page); });
    if (failed_.empty() && ::fsync(fd_) != 0) fail_write("cannot flush " + temp_.string());
    if (!failed_.empty()) {
      drop_file();
      ++figures_.errors;
      r_.failed("channel " + std::to_string(channel_) + ": " + failed_);
      return;
    }
    ::close(fd_);
    fd_ = -1;
    encoder_.reset();

    CallRecord rec;
    rec.site = r_.site_;
    rec.channel = channel_;
    rec.start_ms = start_.start_ms;
    rec.duration_ms = rate_ > 0 ? static_cast<int>(samples_ * 1000 / static_cast<std::uint64_t>(rate_)) : 0;
    rec.frequency_hz = e.radio.frequency_hz;
    rec.modulation = e.radio.modulation;
    rec.display = e.radio.display;
    rec.signal_max = e.signal_max;
    rec.tone = e.radio.tone;
    rec.part = start_.part;
    rec.file = file_;
    rec.bytes = static_cast<std::int64_t>(bytes_);
    // The filer has the file now (the previous part's id is its to fill in).
    temp_.clear();
    r_.filer_->file(std::move(rec));
  }

 private:
  void write(std::span<const std::uint8_t> bytes) {
    if (!failed_.empty() || fd_ < 0) return;
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fail_write("cannot write " + temp_.string());
        return;
      }
      done += static_cast<std::size_t>(n);
    }
    bytes_ += bytes.size();
  }

  void fail_write(const std::string& what) {
    const int err = errno;
    failed_ = what + ": " + std::strerror(err);
    if (err == ENOSPC || err == EDQUOT) r_.set_disk_full(true, failed_);
  }

  void drop_file() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    encoder_.reset();
    std::error_code ec;
    if (!temp_.empty()) fs::remove(temp_, ec);
    temp_.clear();
  }

  CallRecorder& r_;
  int channel_;
  PcmSource source_;
  CallCutter cutter_;
  RadioView view_;
  int tap_ = 0;
  metrics::CallFigures figures_;

  CallStart start_;
  std::string file_;
  fs::path temp_;
  int fd_ = -1;
  std::unique_ptr<audio::FormatEncoder> encoder_;
  std::uint64_t samples_ = 0;
  int rate_ = 0;
  std::uint64_t bytes_ = 0;
  std::string failed_;
};

CallRecorder::CallRecorder(EventLoop& loop, const config::Calls& cfg, const fs::path& dir, std::string site,
                           std::array<PcmSource, 4> sources)
    : loop_(loop), cfg_(cfg), site_(std::move(site)), store_(std::make_unique<CallStore>(dir)) {
  store_->wall_ms = [this] { return std::chrono::duration_cast<Millis>(loop_.wall_now().time_since_epoch()).count(); };
  store_->link_margin_ms = cfg.pre_roll_ms + cfg.hang_ms;
  filer_ = std::make_unique<CallFiler>(loop_, *store_);
  filer_->on_stored = [this](CallRecord& r) {
    auto& f = channels_[static_cast<std::size_t>(std::clamp(r.channel, 1, 4) - 1)]->figures();
    ++f.stored;
    f.seconds += r.duration_ms / 1000.0;
    stored(r.channel, r);
  };
  filer_->on_failed = [this](const CallRecord& r, const std::string& why, bool disk_full) {
    ++channels_[static_cast<std::size_t>(std::clamp(r.channel, 1, 4) - 1)]->figures().errors;
    if (disk_full) set_disk_full(true, why);
    failed(why);
  };
  CutSettings cut;
  cut.hang_ms = cfg.hang_ms;
  cut.pre_roll_ms = cfg.pre_roll_ms;
  cut.min_ms = cfg.min_ms;
  cut.soft_max_s = cfg.soft_max_s;
  cut.max_s = cfg.max_s;
  cut.gate = gate_of(cfg.gate);
  cut.level_dbfs = cfg.level_dbfs;
  for (std::size_t k = 0; k < 4; ++k) {
    channels_[k] = std::make_unique<Channel>(*this, static_cast<int>(k + 1), std::move(sources[k]), cut);
    channels_[k]->figures().channel = static_cast<int>(k + 1);
    channels_[k]->figures().bytes_on_disk = static_cast<std::uint64_t>(store_->channel_bytes()[k]);
  }
  const auto rec = store_->recovery();
  if (rec.finished || rec.removed_temp || rec.removed_rows)
    log::info("call index recovered: " + std::to_string(rec.finished) + " calls finished, " + std::to_string(rec.removed_temp) +
              " unfinished calls removed, " + std::to_string(rec.removed_rows) + " calls without audio removed");
  filer_->load();
}

CallRecorder::~CallRecorder() {
  stop();
  // Calls the channels end now are kept for the next start when the index does not take them.
  for (auto& c : channels_) c.reset();
}

void CallRecorder::start() {
  if (running_) return;
  running_ = true;
  filer_->start();
  retain();
  for (std::size_t k = 0; k < 4; ++k)
    if (cfg_.channels[k]) channels_[k]->start();
  check_space();
  tick();
}

void CallRecorder::stop() {
  if (!running_) return;
  running_ = false;
  loop_.cancel(tick_timer_);
  for (auto& c : channels_) c->stop();
  filer_->stop();
}

void CallRecorder::on_reply(int channel, int step, std::string_view reply) {
  if (channel < 1 || channel > 4 || !cfg_.channels[static_cast<std::size_t>(channel - 1)]) return;
  Channel& c = *channels_[static_cast<std::size_t>(channel - 1)];
  RadioView& v = c.view();
  const std::string text = trim(reply);
  switch (step) {
    case 10:  // "SQ": "+" open, "-" closed
      if (!text.empty() && text.front() == '+')
        c.cutter().squelch(true);
      else if (!text.empty() && text.front() == '-')
        c.cutter().squelch(false);
      else
        c.cutter().squelch(std::nullopt);
      return;
    case 3:  // "SG": "S123 F01673500", the frequency in 100 Hz
      if (text.rfind("NG", 0) == 0 || text.rfind("ERR", 0) == 0) return;
      if (auto s = number_after(text, 'S')) v.signal = static_cast<int>(std::min<std::int64_t>(*s, 1 << 20));
      if (auto f = number_after(text, 'F')) v.frequency_hz = *f * 100;
      c.cutter().radio(v, CallCutter::Reading::Frequency);
      return;
    case 6:  // "RM": "RM NFM"
      if (text.rfind("RM", 0) == 0) {
        v.modulation = trim(text.substr(2)).substr(0, 8);
        c.cutter().radio(v, CallCutter::Reading::Mode);
      }
      return;
    case 8:  // "CS": the tone squelch reading
      if (text.rfind("CS", 0) == 0) {
        v.tone = trim(text.substr(2)).substr(0, 16);
        c.cutter().radio(v);
      }
      return;
    case 1:  // the display
      v.display = display_lines(std::string(reply));
      c.cutter().radio(v, CallCutter::Reading::Display);
      return;
    default:
      return;
  }
}

void CallRecorder::tick() {
  if (!running_) return;
  for (auto& c : channels_) c->cutter().tick();
  if (++ticks_ % kSpaceCheckTicks == 0) check_space();
  if (ticks_ % kRetainTicks == 0) retain();
  if (on_state && ticks_ % 5 == 1)
    for (std::size_t k = 0; k < 4; ++k) {
      std::string text;
      if (!cfg_.channels[k])
        text = "off";
      else if (disk_full_)
        text = "stopped: the disk is full";
      else if (const std::string busy = index_busy(); !busy.empty())
        text = busy;
      else if (!channels_[k]->capturing())
        text = "no audio: nothing recorded";
      else
        text = channels_[k]->cutter().in_call() ? "recording a call" : "waiting for a call";
      on_state(static_cast<int>(k + 1), text);
    }
  tick_timer_ = loop_.call_after(kTick, [this] { tick(); });
}

bool CallRecorder::partner_pending(const CallRecord& r) const {
  if (r.frequency_hz <= 0) return false;  // never linked
  if (filer_->waiting() > 0) return true;
  for (std::size_t k = 0; k < 4; ++k) {
    const Channel& c = *channels_[k];
    if (static_cast<int>(k + 1) == r.channel || !cfg_.channels[k] || !c.in_call()) continue;
    if (c.call_start_ms() >= r.start_ms + r.duration_ms) continue;
    // Where the radio is now; unknown (0) may be anywhere.
    const std::int64_t f = c.view().frequency_hz;
    if (f == 0 || same_frequency(f, r.frequency_hz)) return true;
  }
  return false;
}

std::int64_t CallRecorder::free_bytes() const {
  struct statvfs st {};
  if (::statvfs(store_->dir().c_str(), &st) != 0) return INT64_MAX;
  return static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
}

void CallRecorder::check_space() {
  const std::int64_t free = free_bytes();
  if (!disk_full_ && free < kStopFreeBytes) set_disk_full(true, "less than 1 MiB free");
  if (disk_full_ && free >= kResumeFreeBytes) set_disk_full(false, "");
}

void CallRecorder::set_disk_full(bool full, const std::string& why) {
  if (full == disk_full_) return;
  disk_full_ = full;
  if (full) {
    log::error("call recording stopped: the disk holding " + store_->dir().string() + " is full (" + why +
               "); it starts again when space is freed");
    // Calls running now end without being kept; their files go.
    loop_.post([this] {
      if (disk_full_)
        for (auto& c : channels_) c->cutter().set_enabled(false);
    });
  } else {
    log::info("call recording started again: the disk has space");
    for (auto& c : channels_) c->cutter().set_enabled(true);
  }
}

void CallRecorder::stored(int channel, CallRecord& r) {
  succeeded();
  auto& f = channels_[static_cast<std::size_t>(channel - 1)]->figures();
  (void)f;
  for (std::size_t k = 0; k < 4; ++k) channels_[k]->figures().bytes_on_disk = static_cast<std::uint64_t>(store_->channel_bytes()[k]);
  if (cfg_.keep_mb > 0 && store_->total_bytes() > static_cast<std::int64_t>(cfg_.keep_mb) * 1024 * 1024) retain();
  if (on_call) {
    nlohmann::json j = call_json(r);
    j["type"] = "call";
    on_call(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  if (on_stored) on_stored(r);
}

void CallRecorder::failed(const std::string& why) {
  if (failing_) return;
  failing_ = true;
  log::warning("call recording fails: " + why);
}

void CallRecorder::succeeded() {
  if (!failing_) return;
  failing_ = false;
  log::info("call recording works again");
}

void CallRecorder::retain() {
  const std::int64_t now_ms = std::chrono::duration_cast<Millis>(loop_.wall_now().time_since_epoch()).count();
  try {
    store_->retain(cfg_.keep_days, cfg_.keep_mb, now_ms);
  } catch (const StoreError& e) {
    if (!e.busy) failed(e.what());  // busy: the next turn does it
  }
  for (std::size_t k = 0; k < 4; ++k) channels_[k]->figures().bytes_on_disk = static_cast<std::uint64_t>(store_->channel_bytes()[k]);
}

std::string CallRecorder::index_busy() const {
  const auto since = store_->busy_since_ms();
  const std::size_t waiting = filer_->waiting();
  if (!since && waiting == 0) return "";
  std::string text;
  if (since) {
    const std::time_t secs = static_cast<std::time_t>(*since / 1000);
    std::tm tm{};
    ::localtime_r(&secs, &tm);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    text = std::string("index busy since ") + buf;
  } else {
    text = "storing calls kept while the index was busy";
  }
  if (waiting > 0) text += " (" + std::to_string(waiting) + (waiting == 1 ? " call waits)" : " calls wait)");
  return text;
}

metrics::CallsFigures CallRecorder::figures() const {
  metrics::CallsFigures f;
  for (const auto& c : channels_) f.channels.push_back(c->figures());
  f.stopped_disk_full = disk_full_;
  if (const auto since = store_->busy_since_ms()) f.index_busy_since_seconds = static_cast<double>(*since / 1000);
  f.waiting_for_index = filer_->waiting();
  return f;
}

}  // namespace quillon::calls
