#pragma once

#include "tessary/Export.h"
#include "tessary/client/MessageClient.h"

namespace ORVEX::Tessary::Controller {

// A MessageClient bound to a group of bus servers of the application's choosing: its base
// command port and number of bus servers are given here instead of taken from the process
// configuration, which stays as it is for every other client. The values are not checked; a
// number of bus servers below 2 means the one port commandPort.
class TESSARY_EXPORT FixedMessageClient : public MessageClient {
public:
    FixedMessageClient(int commandPort, int nbOfBUSServer);
    ~FixedMessageClient() override;
};

} // namespace ORVEX::Tessary::Controller
