// Commands from the page as steps of the poll rotation of their own.

#include "scanner/scanner_link.hpp"

namespace quillon {

bool ScannerLink::queue_command(int channel, std::string text, CommandDone done) {
  auto& waiting = commands_[static_cast<std::size_t>(channel - 1)];
  if (waiting.size() >= kMaxWaitingCommands) return false;
  waiting.push_back({std::move(text), std::move(done)});
  return true;
}

// Runs inside the poller tick, in place of the rotation's next query.
bool ScannerLink::send_page_command(scanner::ChannelWiring& w) {
  auto& waiting = commands_[w.k];
  if (waiting.empty()) return false;
  sent_[w.k] = std::move(waiting.front());
  waiting.pop_front();
  f_.pollstep[w.k] = kCommandStep;
  ErrorScope err;
  err.step([&] { port(w).output(sent_[w.k]->text + "\r"); });
  return true;
}

void ScannerLink::finish_page_command(scanner::ChannelWiring& w, const std::string& reply) {
  // The display query goes next; the rotation starts again from it.
  f_.pollstep[w.k] = 0;
  std::optional<PageCommand> done = std::move(sent_[w.k]);
  sent_[w.k].reset();
  if (done && done->done) done->done(reply);
}

}  // namespace quillon
