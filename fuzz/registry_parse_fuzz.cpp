// libFuzzer target for the hive file grammar: any input either fails to parse or reads back,
// once written, as the same values; writing it again gives the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "settings/regfile.hpp"

using namespace quillon::settings;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto file = parse_regfile(text);
  if (!file) return 0;
  // Drop the kept spellings so that every value goes through the writer too.
  RegFile rewritten = *file;
  for (auto& sec : rewritten.sections)
    for (auto& e : sec.entries)
      if (!e.comment) e.raw.clear();
  for (const RegFile* f : {&*file, &rewritten}) {
    const std::string once = format_regfile(*f);
    auto back = parse_regfile(once);
    if (!back || back->sections.size() != f->sections.size()) std::abort();
    for (std::size_t s = 0; s < f->sections.size(); ++s) {
      const auto& a = f->sections[s].entries;
      const auto& b = back->sections[s].entries;
      if (a.size() != b.size()) std::abort();
      for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].comment != b[i].comment || a[i].data != b[i].data) std::abort();
    }
    if (format_regfile(*back) != once) std::abort();
  }
  return 0;
}
