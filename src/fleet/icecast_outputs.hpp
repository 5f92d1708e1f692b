#pragma once
// The channels' Icecast sources, wired from the configuration: one IcecastSource per configured
// [icecast.N], its state shown in the window (lblIcecast, the Audio page) and on the metrics
// page, and for MP3 mounts the stream title following the radio's display.

#include <array>
#include <memory>
#include <vector>

#include "fleet/config.hpp"
#include "window/frmserver.hpp"
#include "fleet/metrics.hpp"
#include "audio/encoded_stream.hpp"
#include "audio/icecast_source.hpp"

namespace quillon {

class AsioEventLoop;

class IcecastOutputs {
 public:
  // `streams` may be null (no listening streams: every configured source says so and stays off).
  // The sources run on the loop's io_context.
  IcecastOutputs(AsioEventLoop& loop, Frmserver& form, const config::Config& cfg, audio::ListenStreams* streams,
                 audio::IcecastSource::Log log);
  ~IcecastOutputs();
  IcecastOutputs(const IcecastOutputs&) = delete;
  IcecastOutputs& operator=(const IcecastOutputs&) = delete;

  void start();
  void stop();

  std::vector<metrics::IcecastFigures> figures() const;
  // Channel 1..4; null when that channel sends nothing to Icecast.
  audio::IcecastSource* source(int channel) { return sources_[static_cast<std::size_t>(channel - 1)].get(); }

  // How often the stream titles are compared with the radios' displays.
  static constexpr Millis kTitleCheck{1000};

 private:
  void title_tick();

  EventLoop& loop_;
  Frmserver& form_;
  std::array<std::unique_ptr<audio::IcecastSource>, kChannels> sources_;
  EventLoop::TimerId timer_ = 0;
  bool running_ = false;
};

}  // namespace quillon
