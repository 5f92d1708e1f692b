#include "netdata/data_service.hpp"

namespace quillon {

DataService::DataService(Frmserver& form, settings::SettingsStore& settings) : f_(form), settings_(settings) {}

void DataService::init_ip() {}

void DataService::slot_upkeep() {}

}  // namespace quillon
