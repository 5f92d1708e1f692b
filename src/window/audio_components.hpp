#pragma once
// The contract of the three audio components per channel: capture, codec and streaming server.
// The members are those the logic reads and sets; setters may throw quillon::Error, which the
// callers' guarded steps skip.

#include <string>

namespace quillon {

class AudioConsumer;

// Capture and codec provide audio to the next component of the chain.
class AudioProvider {
 public:
  virtual ~AudioProvider() = default;
  virtual void attach_consumer(AudioConsumer& consumer) = 0;
};

// Codec and server consume the previous component's output.
class AudioConsumer {
 public:
  virtual ~AudioConsumer() = default;
};

struct AudioCommon {
  bool sync_events = true;
  bool auto_activate = true;
  bool is_format_provider = true;
};

class CaptureDevice : public AudioProvider {
 public:
  AudioCommon common;
  bool calc_volume = false;
  int over_num = 25;
  int pcm_bits_per_sample = 16;
  int pcm_num_channels = 1;
  bool direct = false;
  bool mapped = false;
  int min_active_time = 0;
  int min_volume_level = 0;

  // True starts the chain (codec and server follow), False stops it.
  virtual void set_active(bool active) = 0;
  virtual bool active() const = 0;
  // -1 the system's default input, n >= 0 the n-th capture device; applies at the next start.
  virtual void set_device_id(int id) = 0;
  virtual int device_id() const = 0;
  virtual void set_pcm_samples_per_sec(int rate) = 0;
  virtual int pcm_samples_per_sec() const = 0;
  // Name of capture device n; throws for a number that has no device.
  virtual std::string device_name(int n) const = 0;
};

class Codec : public AudioProvider, public AudioConsumer {
 public:
  AudioCommon common;
  bool calc_volume = true;
  int over_num = 25;
  int pcm_bits_per_sample = 16;
  int pcm_num_channels = 2;
  int pcm_samples_per_sec = 44100;
  int format_tag = 49;  // GSM 6.10
  bool format_tag_immunable = true;
  bool input_is_pcm = true;
  bool real_time = true;

  virtual bool active() const = 0;
};

class IpServer : public AudioConsumer {
 public:
  AudioCommon common;
  std::string bind_to = "0.0.0.0";
  int streaming_mode = 0;

  virtual void set_max_clients(int n) = 0;
  virtual int max_clients() const = 0;
  virtual void set_port(const std::string& port) = 0;  // decimal text
  virtual std::string port() const = 0;
  virtual void set_proto(int proto) = 0;  // 0 TCP, 1 UDP
  virtual int proto() const = 0;
  virtual void set_active(bool active) = 0;
  virtual bool active() const = 0;
  virtual int client_count() const = 0;
  virtual int status_value() const = 0;
};

}  // namespace quillon
