#include "fleet/port_faults.hpp"

namespace quillon {

std::string listen_failure_text(const std::string& listener, int port, const std::string& failure) {
  std::string text = listener + " port " + std::to_string(port) + " cannot listen: " + failure;
  if (port > 0 && port < 1024 && failure.find("denied") != std::string::npos)
    text += "; ports below 1024 need root or CAP_NET_BIND_SERVICE; the packaged unit grants it; or pick ports above 1023";
  else if (failure.find("in use") != std::string::npos)
    text += "; another program holds it: stop that program or pick another port";
  return text;
}

std::string listen_failure_reason(const std::string& what) {
  const auto at = what.rfind(": ");
  return at == std::string::npos ? what : what.substr(at + 2);
}

void PortFaults::result(const std::string& listener, int channel, int port, const std::string& failure) {
  const std::string kind = listener + "_port";
  const std::string who = channel > 0 ? "channel " + std::to_string(channel) + ": " : "";
  if (failure.empty())
    book_.clear(kind, channel, who + listener + " port " + std::to_string(port) + " listens");
  else
    book_.fault(kind, channel, who + listen_failure_text(listener, port, failure));
  if (channel >= 1 && channel <= kChannels) show(channel);
}

void PortFaults::show(int channel) {
  if (!form_) return;
  std::string text;
  const std::string prefix = "channel " + std::to_string(channel) + ": ";
  for (const char* kind : {"data_port", "audio_port"}) {
    std::string t = book_.text(kind, channel);
    if (t.empty()) continue;
    if (t.rfind(prefix, 0) == 0) t.erase(0, prefix.size());
    if (!text.empty()) text += "\n";
    text += t;
  }
  ErrorScope err;
  err.step([&] { form_->lblPortFault[channel - 1].set_caption(text); });
}

}  // namespace quillon
