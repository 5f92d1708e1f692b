#include "audio/audio_service.hpp"

#include "app/exit_log.hpp"

namespace quillon {

AudioService::AudioService(Frmserver& form, settings::SettingsStore& settings, DataService& data, ExitLog& log)
    : f_(form), settings_(settings), data_(data), log_(log) {}

void AudioService::init_audio() {}

void AudioService::stopserver() {
  ErrorScope err;
  const char* markers[] = {"stopserver_start", "stopserver_start1", "stopserver_start2", "stopserver_start3"};
  for (int k = 0; k < kChannels; ++k) {
    log_.writeexitlog(markers[k]);
    err.step([&] { f_.wavein[static_cast<std::size_t>(k)]->set_active(false); });
  }
  log_.writeexitlog("stopserver_end");
}

}  // namespace quillon
