#include "audio/alsa_capture.hpp"

#include <alsa/asoundlib.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "core/errors.hpp"

namespace quillon::audio {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kMaxQueuedSeconds = 3;  // audio the loop thread may fall behind before the oldest goes
// The reader wakes once per period (a quarter of the ALSA buffer): 40 ms, one GSM block's worth.
// Capture to listener stays near 100 ms: one period, up to one drain interval, the 40 ms a GSM
// block takes to fill and the resampler's few milliseconds.
constexpr unsigned kLatencyUs = 160000;
// The loop takes what the readers captured on a timer of its own rather than being woken by
// every period of every device; the timer falls in with the window timers' wake-ups.
constexpr Millis kDrainInterval{20};
constexpr auto kStallLimit = std::chrono::seconds(5);  // no data this long: reopen the device
constexpr auto kReopenPause = std::chrono::milliseconds(1000);

// Names that ALSA and its plugin packages define for their own use.
bool is_internal_pcm(const std::string& name) {
  static const std::set<std::string> internal = {
      "null", "default", "sysdefault", "pulse", "jack", "oss", "lavrate", "samplerate", "speexrate", "speex",
      "upmix", "vdownmix", "a52", "usbstream", "dmix", "dsnoop", "hw", "plughw", "plug", "shm", "tee", "file",
      "asym", "cards", "front", "rear", "center_lfe", "side", "iec958", "spdif", "hdmi", "modem", "phoneline",
      "dpl", "equal", "arcam_av", "bluealsa", "pipewire", "surround21", "surround40", "surround41",
      "surround50", "surround51", "surround71"};
  return name.find(':') != std::string::npos || internal.count(name) != 0;
}

// A device busy with a capture (ours, or another program's) still counts: the list must not
// shift under a running chain.
bool opens_for_capture(const std::string& name) {
  snd_pcm_t* pcm = nullptr;
  const int rc = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  if (rc == -EBUSY) return true;
  if (rc < 0) return false;
  snd_pcm_close(pcm);
  return true;
}

void quiet_alsa_errors();

snd_pcm_t* open_pcm(const std::string& name, int rate, snd_pcm_uframes_t& chunk, std::string& why) {
  quiet_alsa_errors();
  snd_pcm_t* pcm = nullptr;
  int rc = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  if (rc < 0) {
    why = snd_strerror(rc);
    return nullptr;
  }
  rc = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, static_cast<unsigned>(rate), 1,
                          kLatencyUs);
  snd_pcm_uframes_t buffer = 0, period = 0;
  if (rc >= 0) rc = snd_pcm_get_params(pcm, &buffer, &period);
  if (rc >= 0) rc = snd_pcm_start(pcm);
  if (rc < 0) {
    why = snd_strerror(rc);
    snd_pcm_close(pcm);
    return nullptr;
  }
  chunk = period > 0 ? period : buffer / 4;
  if (chunk == 0 || chunk > buffer) chunk = buffer;
  return pcm;
}

// ALSA prints its own failures to stderr; a device that is reopened every second would fill the
// log. The capture reports failures through Active and its counters instead.
void ignore_alsa_error(const char*, int, const char*, int, const char*, ...) {}

void quiet_alsa_errors() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(&ignore_alsa_error); });
}

}  // namespace

std::vector<CaptureDeviceInfo> list_capture_devices() {
  quiet_alsa_errors();
  std::vector<CaptureDeviceInfo> out;
  // Sound cards.
  int card = -1;
  while (snd_card_next(&card) >= 0 && card >= 0) {
    snd_ctl_t* ctl = nullptr;
    const std::string hw = "hw:" + std::to_string(card);
    if (snd_ctl_open(&ctl, hw.c_str(), 0) < 0) continue;
    snd_ctl_card_info_t* ci = nullptr;
    snd_ctl_card_info_alloca(&ci);
    std::string card_name = hw;
    if (snd_ctl_card_info(ctl, ci) >= 0) card_name = snd_ctl_card_info_get_name(ci);
    int dev = -1;
    while (snd_ctl_pcm_next_device(ctl, &dev) >= 0 && dev >= 0) {
      snd_pcm_info_t* pi = nullptr;
      snd_pcm_info_alloca(&pi);
      snd_pcm_info_set_device(pi, static_cast<unsigned>(dev));
      snd_pcm_info_set_subdevice(pi, 0);
      snd_pcm_info_set_stream(pi, SND_PCM_STREAM_CAPTURE);
      if (snd_ctl_pcm_info(ctl, pi) < 0) continue;  // no capture on this device
      out.push_back({"plughw:" + std::to_string(card) + "," + std::to_string(dev),
                     card_name + ": " + snd_pcm_info_get_name(pi)});
    }
    snd_ctl_close(ctl);
  }
  // PCMs of the ALSA configuration.
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) >= 0) {
    for (void** h = hints; *h; ++h) {
      char* name = snd_device_name_get_hint(*h, "NAME");
      char* desc = snd_device_name_get_hint(*h, "DESC");
      char* ioid = snd_device_name_get_hint(*h, "IOID");
      if (name) {
        std::string n = name;
        const bool output_only = ioid && std::strcmp(ioid, "Output") == 0;
        if (!is_internal_pcm(n) && !output_only && opens_for_capture(n)) {
          std::string d = desc ? desc : n;
          if (auto nl = d.find('\n'); nl != std::string::npos) d.resize(nl);
          if (d.empty()) d = n;
          out.push_back({n, d});
        }
      }
      std::free(name);
      std::free(desc);
      std::free(ioid);
    }
    snd_device_name_free_hint(hints);
  }
  return out;
}

// The reader thread and what it shares with the loop thread.
struct AlsaCapture::Reader {
  std::string pcm_name;
  int rate = 0;
  snd_pcm_t* pcm = nullptr;  // the reader thread's once started
  snd_pcm_uframes_t chunk = 0;
  std::atomic<bool> stop{false};
  std::thread thread;
  std::mutex m;
  std::deque<std::vector<std::int16_t>> queue;
  std::size_t queued_frames = 0;
  double newest_read_ms = 0;  // wall clock when the newest queued sample was read
  std::shared_ptr<std::atomic<std::uint64_t>> overruns, reopens, lost;

  void push(const std::int16_t* s, std::size_t n) {
    {
      std::lock_guard<std::mutex> lock(m);
      // Sound servers may hand over a second of audio at once: bound by time, not by chunks.
      const auto limit = static_cast<std::size_t>(rate) * kMaxQueuedSeconds;
      while (!queue.empty() && queued_frames + n > limit) {
        queued_frames -= queue.front().size();
        queue.pop_front();
        ++*lost;
      }
      if (!queue.empty() && queue.back().size() + n <= 4096) {
        queue.back().insert(queue.back().end(), s, s + n);  // the loop has not taken it yet
      } else {
        queue.emplace_back(s, s + n);
      }
      queued_frames += n;
      newest_read_ms = std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
    }
  }

  void close_pcm() {
    if (pcm) snd_pcm_close(pcm);
    pcm = nullptr;
  }

  // Sleeps up to `d`, waking early when asked to stop.
  void pause(std::chrono::milliseconds d) {
    const auto until = SteadyClock::now() + d;
    while (!stop && SteadyClock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  void run() {
    sched_param sp{};
    sp.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);  // best effort: needs the privilege
    std::vector<std::int16_t> buf;
    auto last_data = SteadyClock::now();
    const auto period = std::max(std::chrono::microseconds(5000),
                                 std::chrono::microseconds(static_cast<long long>(chunk) * 1000000 / rate));
    auto next_read = SteadyClock::now();
    while (!stop) {
      if (!pcm) {
        pause(kReopenPause);
        if (stop) break;
        std::string why;
        pcm = open_pcm(pcm_name, rate, chunk, why);
        if (!pcm) continue;
        ++*reopens;
        last_data = SteadyClock::now();
      }
      buf.resize(2 * chunk);
      // Wakes once a period and takes whatever is there, rather than polling: a sound server
      // delivers in smaller pieces and would wake the reader for each of them.
      const auto now = SteadyClock::now();
      next_read = std::max(next_read + period, now);
      std::this_thread::sleep_until(next_read);
      snd_pcm_sframes_t n = snd_pcm_avail_update(pcm);
      if (n > 0) n = snd_pcm_readi(pcm, buf.data(), std::min<snd_pcm_uframes_t>(static_cast<snd_pcm_uframes_t>(n), buf.size()));
      if (n > 0) {
        last_data = SteadyClock::now();
        push(buf.data(), static_cast<std::size_t>(n));
        continue;
      }
      if (n == -EAGAIN || n == 0) {
        if (SteadyClock::now() - last_data > kStallLimit) close_pcm();  // silent device: reopen it
        continue;
      }
      if (n == -EPIPE) {  // overrun: the reader fell behind
        ++*overruns;
        if (snd_pcm_prepare(pcm) >= 0 && snd_pcm_start(pcm) >= 0) continue;
      } else if (n == -ESTRPIPE) {
        if (snd_pcm_resume(pcm) >= 0 || (snd_pcm_prepare(pcm) >= 0 && snd_pcm_start(pcm) >= 0)) continue;
      }
      close_pcm();  // gone or broken: reopen it after a pause
    }
    close_pcm();
  }
};

AlsaCapture::AlsaCapture(EventLoop& loop)
    : loop_(loop),
      overruns_(std::make_shared<std::atomic<std::uint64_t>>(0)),
      reopens_(std::make_shared<std::atomic<std::uint64_t>>(0)),
      lost_(std::make_shared<std::atomic<std::uint64_t>>(0)) {}

AlsaCapture::~AlsaCapture() {
  consumer_ = nullptr;  // the rest of the chain may be gone already: only the reader is stopped
  stop();
}

void AlsaCapture::attach_consumer(AudioConsumer& consumer) {
  auto* c = dynamic_cast<PcmInput*>(&consumer);
  if (!c) throw Error(errc::generic, "consumer does not take PCM");
  consumer_ = c;
}

void AlsaCapture::set_device_id(int id) {
  if (id < -1) throw Error(errc::invalid_property_value, "invalid device id");
  device_id_ = id;
}

void AlsaCapture::set_pcm_samples_per_sec(int rate) {
  if (rate != 8000 && rate != 11025 && rate != 22050 && rate != 44100)
    throw Error(errc::invalid_property_value, "unsupported sample rate");
  rate_ = rate;
}

std::string AlsaCapture::device_name(int n) const {
  auto list = list_capture_devices();
  if (n < 0 || n >= static_cast<int>(list.size())) throw Error(errc::generic, "no capture device " + std::to_string(n));
  return list[static_cast<std::size_t>(n)].description;
}

void AlsaCapture::set_active(bool active) {
  // Activating a running device starts it again, so a chain linked while it ran (a channel
  // switched on before the chains are connected at start-up) comes up complete.
  if (active && reader_) stop();
  if (active) {
    try {
      start();
    } catch (const Error& e) {
      // Reported when it starts or changes; the operator's retries repeat the same failure.
      if (on_notice && e.what() != last_failure_) on_notice(e.what());
      last_failure_ = e.what();
      throw;
    }
    if (on_notice && !last_failure_.empty()) on_notice("capture device " + std::to_string(device_id_) + " open");
    last_failure_.clear();
  }
  if (!active && reader_) stop();
}

std::string default_capture_pcm() {
  const auto given = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
  };
  std::error_code ec;
  const char* home = std::getenv("HOME");
  if (given("XDG_RUNTIME_DIR") || given("PULSE_SERVER") || given("PIPEWIRE_REMOTE") || given("ALSA_CONFIG_PATH") ||
      std::filesystem::exists("/etc/asound.conf", ec) || (home && *home && std::filesystem::exists(std::filesystem::path(home) / ".asoundrc", ec)))
    return "default";
  for (const CaptureDeviceInfo& d : list_capture_devices())
    if (d.pcm.rfind("plughw:", 0) == 0) return d.pcm;
  return "";
}

void AlsaCapture::start() {
  std::string name;
  if (device_id_ < 0) {
    name = default_capture_pcm();
    if (name.empty()) throw Error(errc::generic, "no sound card with a capture device");
  } else {
    auto list = list_capture_devices();
    if (device_id_ >= static_cast<int>(list.size()))
      throw Error(errc::generic, "no capture device " + std::to_string(device_id_));
    name = list[static_cast<std::size_t>(device_id_)].pcm;
  }
  auto r = std::make_shared<Reader>();
  r->pcm_name = name;
  r->rate = rate_;
  r->overruns = overruns_;
  r->reopens = reopens_;
  r->lost = lost_;
  std::string why;
  r->pcm = open_pcm(name, rate_, r->chunk, why);
  if (!r->pcm) throw Error(errc::generic, "cannot open capture device " + name + ": " + why);

  if (consumer_) {
    try {
      consumer_->chain_start(rate_);
    } catch (const std::exception&) {
      // A stage that cannot start (its port in use) shows inactive; the capture runs on.
    }
  }
  reader_ = r;
  r->thread = std::thread([raw = r.get()] {
    pthread_setname_np(pthread_self(), "capture");
    raw->run();
  });
  schedule_drain();
}

void AlsaCapture::schedule_drain() {
  drain_timer_ = loop_.call_after(kDrainInterval, [this] {
    drain_timer_.reset();
    if (!reader_) return;
    drain();
    if (reader_) schedule_drain();
  });
}

void AlsaCapture::stop() {
  if (!reader_) return;
  auto r = std::move(reader_);
  reader_.reset();
  if (drain_timer_) loop_.cancel(*drain_timer_);
  drain_timer_.reset();
  r->stop = true;
  if (r->thread.joinable()) r->thread.join();
  if (consumer_) consumer_->chain_stop();
}

void AlsaCapture::drain() {
  std::deque<std::vector<std::int16_t>> chunks;
  double read_ms = 0;
  {
    std::lock_guard<std::mutex> lock(reader_->m);
    chunks.swap(reader_->queue);
    reader_->queued_frames = 0;
    read_ms = reader_->newest_read_ms;
  }
  // The wait for this drain is not the radio's delay: the samples were there when read.
  if (consumer_ && !chunks.empty()) consumer_->captured_until(read_ms);
  for (auto& c : chunks) {
    frames_delivered_ += c.size();
    if (consumer_ && reader_) consumer_->pcm(c.data(), c.size());
  }
}

std::uint64_t AlsaCapture::overruns() const { return *overruns_; }
std::uint64_t AlsaCapture::reopens() const { return *reopens_; }
std::uint64_t AlsaCapture::chunks_lost() const { return *lost_; }
std::string AlsaCapture::open_device() const { return reader_ ? reader_->pcm_name : std::string(); }

}  // namespace quillon::audio
