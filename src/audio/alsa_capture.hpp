#pragma once
// The capture component on ALSA: 16-bit mono PCM at PcmSamplesPerSec from the chosen input
// device, read by a real-time reader thread of its own while Active. The reader hands chunks
// to the loop thread through a bounded queue and a posted event; the codec and server run on
// the loop thread.
//
// Device list (DeviceName(n), DeviceId n >= 0), in this order:
//   1. the capture devices of the sound cards, by card and device number, named
//      "<card name>: <device name>" (opened through the plughw converter);
//   2. the PCMs defined in the ALSA configuration (~/.asoundrc, /etc/asound.conf, files named by
//      ALSA_CONFIG_PATH) that can be opened for capture, in the order ALSA reports them, named by
//      their description when they have one, else by their name.
// ALSA's own plugins and helper definitions (null, default, pulse, jack, oss, the rate converters,
// dmix, card-specific aliases and the like) are left out. DeviceId -1 is default_capture_pcm().
//
// An overrun is recovered by preparing the device again; a device that fails or vanishes is
// closed and reopened once a second until it answers or the chain stops. Both are counted.
// A device that cannot be opened at activation throws, and Active stays False.

#include <atomic>
#include <cstdint>
#include <memory>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_chain.hpp"
#include "core/event_loop.hpp"

namespace quillon::audio {

struct CaptureDeviceInfo {
  std::string pcm;          // name ALSA opens
  std::string description;  // what DeviceName reports
};

// The capture devices an operator can pick, in DeviceName order.
std::vector<CaptureDeviceInfo> list_capture_devices();

// What DeviceId -1 captures from. ALSA's "default" where a session or a configuration routes it
// (XDG_RUNTIME_DIR, PULSE_SERVER, PIPEWIRE_REMOTE or ALSA_CONFIG_PATH set, /etc/asound.conf or
// ~/.asoundrc present): usually a sound server. Otherwise (a system service) the first sound
// card's first capture device through plughw, so a service never goes through a per-user sound
// server that is not there; "" when there is no card.
std::string default_capture_pcm();

class AlsaCapture final : public CaptureDevice {
 public:
  explicit AlsaCapture(EventLoop& loop);
  ~AlsaCapture() override;

  // Diagnostics: a device that cannot be opened (once per distinct failure) and its recovery.
  std::function<void(const std::string&)> on_notice;

  void attach_consumer(AudioConsumer& consumer) override;
  void set_active(bool active) override;
  bool active() const override { return reader_ != nullptr; }
  void set_device_id(int id) override;
  int device_id() const override { return device_id_; }
  void set_pcm_samples_per_sec(int rate) override;
  int pcm_samples_per_sec() const override { return rate_; }
  std::string device_name(int n) const override;

  // Diagnostics: recoveries since start-up (overruns re-prepared, devices reopened), chunks lost
  // because the loop thread fell behind, frames delivered to the chain.
  std::uint64_t overruns() const;
  std::uint64_t reopens() const;
  std::uint64_t chunks_lost() const;
  std::uint64_t frames_delivered() const { return frames_delivered_; }
  // The ALSA name of the device the running chain captures from; empty when stopped.
  std::string open_device() const;

 private:
  struct Reader;
  void start();
  void stop();
  void drain();
  void schedule_drain();

  EventLoop& loop_;
  PcmInput* consumer_ = nullptr;
  int device_id_ = -1;
  int rate_ = 44100;
  std::shared_ptr<Reader> reader_;
  std::optional<EventLoop::TimerId> drain_timer_;
  std::shared_ptr<std::atomic<std::uint64_t>> overruns_, reopens_, lost_;
  std::uint64_t frames_delivered_ = 0;
  std::string last_failure_;
};

}  // namespace quillon::audio
