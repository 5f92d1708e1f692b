#include "app/server.hpp"

namespace quillon {

Server::Server(EventLoop& loop, const PlatformObjects& platform, const std::filesystem::path& data_dir)
    : form(loop, platform),
      registry(data_dir / "registry"),
      settings(registry),
      exitlog(data_dir / "exitlog.txt", loop),
      scanner(form, settings),
      data(form, settings),
      audio(form, settings, data, exitlog),
      shell(form, settings, exitlog, scanner, data, audio) {}

}  // namespace quillon
