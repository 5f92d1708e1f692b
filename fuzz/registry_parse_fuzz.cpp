// libFuzzer target for the settings file (the REGEDIT4 hive an operator can edit by hand).
//
// The grammar: any input either fails to parse or reads back, once written, as the same values;
// writing it again gives the same text. The store: the same bytes as hklm.reg are read through
// the settings store as start-up reads them (every catalogue setting, with its default, and the
// leading-number conversion the readers apply); a file that does not parse is set aside and reads
// as the defaults, a file that parses stays where it is.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string_view>

#include "fuzz_support.hpp"
#include "settings/catalogue.hpp"
#include "settings/regfile.hpp"
#include "settings/registry.hpp"

using namespace quillon;
using namespace quillon::settings;

namespace {

void round_trip(const RegFile& file) {
  // Drop the kept spellings so that every value goes through the writer too.
  RegFile rewritten = file;
  for (auto& sec : rewritten.sections)
    for (auto& e : sec.entries)
      if (!e.comment) e.raw.clear();
  for (const RegFile* f : {&file, static_cast<const RegFile*>(&rewritten)}) {
    const std::string once = format_regfile(*f);
    auto back = parse_regfile(once);
    if (!back || back->sections.size() != f->sections.size()) fuzz::fail("written file does not read back");
    for (std::size_t s = 0; s < f->sections.size(); ++s) {
      const auto& a = f->sections[s].entries;
      const auto& b = back->sections[s].entries;
      if (a.size() != b.size()) fuzz::fail("written file reads back with other entries");
      for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].comment != b[i].comment || a[i].data != b[i].data) fuzz::fail("written value reads back changed");
    }
    if (format_regfile(*back) != once) fuzz::fail("writing twice gives another text");
  }
}

struct Store {
  std::filesystem::path dir = fuzz::private_dir("registry") / "registry";
  RegistryStore registry{dir};
  SettingsStore settings{registry};
  Store() {
    registry.set_notice([](const std::string&) {});
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Store store;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto file = parse_regfile(text);
  if (file) round_trip(*file);

  const auto hive = store.registry.hive_path(Root::LocalMachine);
  std::filesystem::remove(hive.string() + ".corrupt");
  {
    std::ofstream out(hive, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  store.registry.begin_batch();
  for (const SettingRow& row : kCatalogue) {
    if (!row.default_text) continue;
    const std::string value = store.settings.getreg(row.name, row.default_text);
    if (!file && value != std::string_view(row.default_text).substr(0, std::string_view(row.default_text).size() - 1))
      fuzz::fail("a file that does not parse gave a value other than the default");
    if (std::isnan(leading_number(value))) fuzz::fail("leading number of a stored text is not a number");
  }
  store.registry.commit_batch();
  if (std::filesystem::exists(hive) != file.has_value()) fuzz::fail("file set aside although it parses, or kept although it does not");
  return 0;
}
