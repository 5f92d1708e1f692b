#include "netdata/data_service.hpp"

namespace quillon {

DataService::DataService(Frmserver& form, settings::SettingsStore& settings)
    : ports_(form, settings), interpreter_(form), relay_(form), frame_(form) {}

void DataService::init_ip() { ports_.init_ip(); }

void DataService::slot_upkeep() { ports_.slot_upkeep(); }

}  // namespace quillon
