// DeviceId -1: a session (or an ALSA configuration) keeps ALSA's "default", usually a sound
// server; a system service, with neither, never goes through one.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "audio/alsa_capture.hpp"

namespace quillon {
namespace {

TEST(CaptureDefault, ASessionKeepsAlsasDefaultAServiceWithoutOneTakesASoundCardDirectly) {
  if (std::filesystem::exists("/etc/asound.conf")) GTEST_SKIP() << "this machine has an ALSA configuration of its own";
  // gtest_discover_tests runs each test in a process of its own: the environment is this test's.
  for (const char* n : {"XDG_RUNTIME_DIR", "PULSE_SERVER", "PIPEWIRE_REMOTE", "ALSA_CONFIG_PATH", "HOME"}) ::unsetenv(n);
  const std::string service = audio::default_capture_pcm();
  EXPECT_TRUE(service.empty() || service.rfind("plughw:", 0) == 0) << service;
  ::setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  EXPECT_EQ(audio::default_capture_pcm(), "default");
}

}  // namespace
}  // namespace quillon
