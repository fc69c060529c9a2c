#pragma once

#include "tessary/Export.h"
#include "tessary/receiver/BLOBReceiver.h"

namespace ORVEX::Tessary::Controller {

// A BLOBReceiver bound to a group of bus servers of the application's choosing: its first
// status port and number of bus servers are given here instead of taken from the process
// configuration. They are not checked, and take effect at the next StartWait. Subclass it as
// a BLOBReceiver to override RelayMessage or RelayBLOB.
class TESSARY_EXPORT FixedBLOBReceiver : public BLOBReceiver {
public:
    FixedBLOBReceiver(int statusPort, int nbOfBUSServer);
    ~FixedBLOBReceiver() override;
};

} // namespace ORVEX::Tessary::Controller
