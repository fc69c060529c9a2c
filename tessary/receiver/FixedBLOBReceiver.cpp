#include "tessary/receiver/FixedBLOBReceiver.h"

namespace ORVEX::Tessary::Controller {

FixedBLOBReceiver::FixedBLOBReceiver(int statusPort, int nbOfBUSServer) {
    StatusPort = statusPort;
    NbOfBUSServer = nbOfBUSServer;
}

FixedBLOBReceiver::~FixedBLOBReceiver() = default;

} // namespace ORVEX::Tessary::Controller
