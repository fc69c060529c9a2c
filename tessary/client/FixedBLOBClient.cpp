#include "tessary/client/FixedBLOBClient.h"

namespace ORVEX::Tessary::Controller {

FixedBLOBClient::FixedBLOBClient(int commandPort, int nbOfBUSServer) {
    CommandPort = commandPort;
    NbOfBUSServer = nbOfBUSServer;
}

FixedBLOBClient::~FixedBLOBClient() = default;

} // namespace ORVEX::Tessary::Controller
