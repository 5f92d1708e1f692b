// libFuzzer target for the configuration file (TOML an owner writes by hand).
//
// Any text is either refused with a ConfigError that names the file (and, past the TOML
// parse, the line and key) or read into a configuration; nothing else is thrown. A text that is
// read is read the same way twice, and whatever it says stays within the file's own limits:
// at most four channels per list, access codes with a label and a code.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "fleet/config.hpp"

using namespace quillon;

namespace {

std::string shape(const config::Config& c) {
  std::string s = config::site_name(c) + "|" + std::to_string(c.listen.codes.size()) + "|" +
                  std::to_string(c.calls.uploads.size()) + "|" + std::to_string(c.warnings.size());
  for (const auto& w : c.warnings) s += "|" + w;
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string first;
  try {
    const config::Config c = config::parse(text, "fuzz.toml");
    first = shape(c);
    for (const auto& code : c.listen.codes)
      if (code.code.empty()) fuzz::fail("an access code without its code was taken");
  } catch (const config::ConfigError& e) {
    if (!std::string_view(e.what()).starts_with("fuzz.toml")) fuzz::fail("a refusal that does not name the file");
    return 0;
  }
  try {
    if (shape(config::parse(text, "fuzz.toml")) != first) fuzz::fail("the same text read twice reads differently");
  } catch (const config::ConfigError&) {
    fuzz::fail("the same text read twice was refused the second time");
  }
  return 0;
}
