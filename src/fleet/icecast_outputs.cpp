#include "fleet/icecast_outputs.hpp"

#include "fleet/fleet.hpp"
#include "core/asio_event_loop.hpp"

namespace quillon {

namespace {

const char* format_word(audio::ListenFormat f) { return f == audio::ListenFormat::Mp3 ? "mp3" : "opus"; }

}  // namespace

IcecastOutputs::IcecastOutputs(AsioEventLoop& loop, Frmserver& form, const config::Config& cfg, audio::ListenStreams* streams,
                               audio::IcecastSource::Log log)
    : loop_(loop), form_(form) {
  for (int ch = 1; ch <= kChannels; ++ch) {
    const auto k = static_cast<std::size_t>(ch - 1);
    const audio::IcecastSettings& s = cfg.icecast[k];
    if (!s.enabled) continue;
    audio::EncodedStream* stream = streams ? streams->stream(ch, s.format) : nullptr;
    if (!stream) {
      const std::string why = std::string("no ") + format_word(s.format) + " stream for this channel";
      log(true, "channel " + std::to_string(ch) + ": Icecast output to " + s.host + s.mount + " is off: " + why);
      form_.lblIcecast[ch - 1].set_caption("off: " + why);
      continue;
    }
    sources_[k] = std::make_unique<audio::IcecastSource>(loop, ch, s, *stream, log);
    sources_[k]->on_state = [this, ch](const std::string& text) { form_.lblIcecast[ch - 1].set_caption(text); };
    form_.lblIcecast[ch - 1].set_caption(sources_[k]->state_text());
  }
}

IcecastOutputs::~IcecastOutputs() { stop(); }

void IcecastOutputs::start() {
  if (running_) return;
  running_ = true;
  for (auto& s : sources_)
    if (s) s->start();
  timer_ = loop_.call_after(kTitleCheck, [this] { title_tick(); });
}

void IcecastOutputs::stop() {
  if (timer_) loop_.cancel(timer_);
  timer_ = 0;
  for (auto& s : sources_)
    if (s) s->stop();
}

void IcecastOutputs::title_tick() {
  timer_ = 0;
  for (int ch = 1; ch <= kChannels; ++ch)
    if (auto* s = source(ch)) {
      const ChannelStatus st = channel_status(form_, ch);
      if (const std::string t = audio::stream_title(st.display[1], st.display[2]); !t.empty()) s->set_title(t);
    }
  timer_ = loop_.call_after(kTitleCheck, [this] { title_tick(); });
}

std::vector<metrics::IcecastFigures> IcecastOutputs::figures() const {
  std::vector<metrics::IcecastFigures> out;
  for (int ch = 1; ch <= kChannels; ++ch)
    if (const auto& s = sources_[static_cast<std::size_t>(ch - 1)]) {
      const auto f = s->figures();
      out.push_back({ch, f.state == audio::IcecastSource::State::Connected, f.bytes_sent, f.units_dropped, f.connections});
    }
  return out;
}

}  // namespace quillon
