#include "tessary/receiver/BaseReceiver.h"
#include "tessary/setup/internal/Configuration.h"

namespace ORVEX::Tessary::Controller {

int BaseReceiver::gDefMSTimeOut = Configuration::DefaultMSTimeOut;

} // namespace ORVEX::Tessary::Controller
