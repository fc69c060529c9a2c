#include "tessary/client/FixedMessageClient.h"

namespace ORVEX::Tessary::Controller {

FixedMessageClient::FixedMessageClient(int commandPort, int nbOfBUSServer) {
    CommandPort = commandPort;
    NbOfBUSServer = nbOfBUSServer;
}

FixedMessageClient::~FixedMessageClient() = default;

} // namespace ORVEX::Tessary::Controller
