#include "scanner/scanner_link.hpp"

namespace quillon {

ScannerLink::ScannerLink(Frmserver& form, settings::SettingsStore& settings) : f_(form), settings_(settings) {}

void ScannerLink::init_comport() {}

void ScannerLink::STOPCOM(int) {}

}  // namespace quillon
