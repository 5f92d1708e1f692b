#include "fleet/listen_service.hpp"

#include "fleet/port_faults.hpp"

#include "window/frmserver.hpp"
#include "core/asio_event_loop.hpp"
#include "audio/gsm_codec.hpp"
#include "core/log.hpp"

namespace quillon {

namespace {

using audio::ListenFormat;

constexpr std::string_view kPrefix = "/listen/";

// "/listen/3.mp3" -> channel 3, MP3; channel 0 for anything else.
std::pair<int, ListenFormat> parse_path(std::string_view path) {
  if (path.size() != kPrefix.size() + 5 || path.substr(0, kPrefix.size()) != kPrefix) return {0, ListenFormat::Opus};
  const char digit = path[kPrefix.size()];
  const std::string_view ext = path.substr(kPrefix.size() + 1);
  if (digit < '1' || digit > '4' || (ext != ".ogg" && ext != ".mp3")) return {0, ListenFormat::Opus};
  return {digit - '0', ext == ".ogg" ? ListenFormat::Opus : ListenFormat::Mp3};
}

}  // namespace

ListenService::ListenService(AsioEventLoop& loop, Frmserver& form, const config::Listen& cfg,
                             const std::array<audio::GsmCodec*, 4>& codecs, ConsoleServer* console,
                             const std::string& bind_address, PortFaults* faults)
    : form_(form),
      cfg_(cfg),
      streams_(codecs, {cfg.opus_bitrate, cfg.opus_rate}, {cfg.mp3_bitrate, cfg.mp3_rate}) {
  if (console) console->add_stream_route(std::string(kPrefix), [this](const ConsoleRequest& req) { return open(0, req); });
  if (cfg.public_port == 0) return;
  ConsoleConfig pc;
  pc.address = bind_address.empty() ? "0.0.0.0" : bind_address;
  pc.port = static_cast<std::uint16_t>(cfg.public_port);
  pc.listen_only = true;
  pc.tls_cert = cfg.tls_cert;
  pc.tls_key = cfg.tls_key;
  try {
    public_ = std::make_unique<ConsoleServer>(loop, form.window, pc);
    public_->add_stream_route(std::string(kPrefix), [this](const ConsoleRequest& req) { return open(1, req); });
    log::info(std::string("public listening port at ") + (pc.tls_cert.empty() ? "http://" : "https://") + (pc.address.find(':') != std::string::npos ? "[" + pc.address + "]" : pc.address) +
              ":" + std::to_string(public_->port()) + "/ (the listeners' page; /listen/N.ogg and .mp3)");
    if (faults) faults->result("listening", 0, cfg.public_port, "");
  } catch (const std::exception& e) {
    if (faults)
      faults->result("listening", 0, cfg.public_port, listen_failure_reason(e.what()));
    else
      log::warning(std::string(e.what()) + "; running without the public listening port");
  }
}

ListenService::~ListenService() { stop(); }

void ListenService::stop() {
  if (public_) public_->stop();
}

int ListenService::listeners(int channel, ListenFormat format) const {
  if (channel < 1 || channel > 4) return 0;
  const auto c = static_cast<std::size_t>(channel - 1), f = static_cast<std::size_t>(format == ListenFormat::Mp3);
  return count_[0][c][f] + count_[1][c][f];
}

int ListenService::encoders_running(int channel) const {
  int n = 0;
  for (auto f : {ListenFormat::Opus, ListenFormat::Mp3}) n += streams_.running(channel, f) ? 1 : 0;
  return n;
}

ConsoleStream ListenService::open(int port, const ConsoleRequest& req) {
  ConsoleStream answer;
  const auto [channel, format] = parse_path(req.path);
  if (channel == 0) {
    answer.status = 404;
    answer.message = "no such stream: /listen/N.ogg or /listen/N.mp3, N from 1 to 4";
    return answer;
  }
  std::shared_ptr<Place> gate_place;
  if (port == 1 && public_gate_) {
    Admission admitted = public_gate_(req, channel);
    if (admitted.status != 200) {
      answer.status = admitted.status;
      answer.message = std::move(admitted.message);
      return answer;
    }
    gate_place = std::move(admitted.place);
  }
  if (!streams_.capturing(channel)) {
    answer.status = 404;
    answer.message = "channel " + std::to_string(channel) + " captures no audio";
    return answer;
  }
  auto& per_channel = count_[static_cast<std::size_t>(port)][static_cast<std::size_t>(channel - 1)];
  if (per_channel[0] + per_channel[1] >= cfg_.max_listeners) {
    answer.status = 503;
    answer.message = "channel " + std::to_string(channel) + " has " + std::to_string(cfg_.max_listeners) + " listeners already";
    return answer;
  }
  const bool mp3 = format == ListenFormat::Mp3;
  const std::string site = form_.Text11[0].text();
  answer.content_type = mp3 ? "audio/mpeg" : "audio/ogg";
  answer.headers = {
      {"icy-name", (site.empty() ? std::string("Quillon") : site) + " channel " + std::to_string(channel)},
      {"icy-description", "Scanner audio"},
      {"icy-genre", "Scanner"},
      {"icy-br", std::to_string(mp3 ? cfg_.mp3_bitrate : cfg_.opus_bitrate)},
      {"icy-sr", std::to_string(mp3 ? cfg_.mp3_rate : cfg_.opus_rate)},
      {"icy-pub", "0"},
  };
  // Units are a fifth of a second (Ogg pages) or less (MP3 frames): four seconds waiting is a
  // listener that has stopped taking the stream, not one with a slow moment.
  answer.max_behind = std::chrono::seconds(4);
  answer.max_queued_bytes = 64 * 1024 + static_cast<std::size_t>(mp3 ? cfg_.mp3_bitrate : cfg_.opus_bitrate) * 1000;
  audio::EncodedStream* stream = streams_.stream(channel, format);
  // The place is taken now, not when the stream starts: the head is still to be written, and a
  // burst of listeners asking meanwhile must find it taken. It is given back when the last of the
  // answer and the stream's stop goes (a connection that ends before its stream starts too).
  const std::size_t f = mp3 ? 1 : 0;
  ++per_channel[f];
  const std::shared_ptr<void> place(nullptr, [&per_channel, f, alive = std::weak_ptr<bool>(alive_)](void*) {
    if (!alive.expired()) --per_channel[f];
  });
  answer.start = [stream, place, gate_place, alive = std::weak_ptr<bool>(alive_)](ConsoleStream::Push push) -> std::function<void()> {
    const int id = stream->subscribe([push](std::span<const std::uint8_t> unit) { push(unit); });
    if (gate_place) gate_place->end = [push] { push({}); };
    return [stream, id, place, gate_place, alive] {
      if (!alive.expired() && id) stream->unsubscribe(id);
    };
  };
  return answer;
}

}  // namespace quillon
