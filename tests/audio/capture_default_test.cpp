// DeviceId -1: a user's session (or an ALSA configuration) keeps ALSA's "default", which is
// usually a sound server; a system service (none of that) never goes through one.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "audio/alsa_capture.hpp"

namespace quillon {
namespace {

TEST(CaptureDefault, ASessionKeepsAlsasDefaultAServiceWithoutOneTakesASoundCardDirectly) {
  if (std::filesystem::exists("/etc/asound.conf")) GTEST_SKIP() << "this machine has an ALSA configuration of its own";
  const char* names[] = {"XDG_RUNTIME_DIR", "PULSE_SERVER", "PIPEWIRE_REMOTE", "ALSA_CONFIG_PATH", "HOME"};
  std::map<std::string, std::optional<std::string>> saved;
  for (const char* n : names) {
    const char* v = std::getenv(n);
    saved[n] = v ? std::optional<std::string>(v) : std::nullopt;
    ::unsetenv(n);
  }
  // As the unit runs it: no session, no home, no configuration.
  const std::string service = audio::default_capture_pcm();
  EXPECT_NE(service, "default");
  EXPECT_TRUE(service.empty() || service.rfind("plughw:", 0) == 0) << service;
  for (const char* n : {"XDG_RUNTIME_DIR", "PULSE_SERVER", "ALSA_CONFIG_PATH"}) {
    ::setenv(n, "/run/user/1000", 1);
    EXPECT_EQ(audio::default_capture_pcm(), "default") << n;
    ::unsetenv(n);
  }
  for (const auto& [n, v] : saved)
    if (v) ::setenv(n.c_str(), v->c_str(), 1);
}

}  // namespace
}  // namespace quillon
