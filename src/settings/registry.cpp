// Placeholder until the hive file lands: values live in memory only.
#include "settings/registry.hpp"

#include <map>

#include "platform/errors.hpp"

namespace quillon::settings {

struct RegistryStore::Impl {
  std::filesystem::path dir;
  std::map<std::string, RegValue> values;
};

RegistryStore::RegistryStore(std::filesystem::path registry_dir) : impl_(new Impl{std::move(registry_dir), {}}) {}
RegistryStore::~RegistryStore() { delete impl_; }

RegValue RegistryStore::regget(Root, std::string_view keypath, std::string_view name) {
  auto it = impl_->values.find(std::string(keypath) + "\\" + std::string(name));
  return it == impl_->values.end() ? RegValue{std::string{}} : it->second;
}

void RegistryStore::regset(Root, std::string_view keypath, std::string_view name, std::string_view value) {
  impl_->values[std::string(keypath) + "\\" + std::string(name)] = std::string(value);
}

void RegistryStore::begin_batch() {}
void RegistryStore::commit_batch() {}
std::filesystem::path RegistryStore::hive_path(Root root) const {
  return impl_->dir / (root == Root::LocalMachine ? "hklm.reg" : "hkcu.reg");
}

std::string SettingsStore::getreg(std::string_view name, std::string_view default_value) {
  RegValue v = store_.regget(Root::LocalMachine, kSettingsKey, name);
  std::string s = std::holds_alternative<std::int32_t>(v) ? std::to_string(std::get<std::int32_t>(v)) : std::get<std::string>(v);
  if (s.empty()) s = default_value;
  if (s.empty()) return s;
  s.pop_back();
  return s;
}

void SettingsStore::savereg(std::string_view name, std::string_view value) {
  store_.regset(Root::LocalMachine, kSettingsKey, name, value);
}

double leading_number(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  return std::atof(std::string(text.substr(i)).c_str());
}

}  // namespace quillon::settings
