#pragma once

#include "tessary/Export.h"
#include "tessary/receiver/MessageReceiver.h"

namespace ORVEX::Tessary::Controller {

// A MessageReceiver bound to a group of bus servers of the application's choosing: its first
// status port and number of bus servers are given here instead of taken from the process
// configuration. They are not checked, and take effect at the next StartWait.
class TESSARY_EXPORT FixedMessageReceiver : public MessageReceiver {
public:
    FixedMessageReceiver(int statusPort, int nbOfBUSServer);
    ~FixedMessageReceiver() override;
};

} // namespace ORVEX::Tessary::Controller
