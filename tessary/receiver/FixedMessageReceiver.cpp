#include "tessary/receiver/FixedMessageReceiver.h"

namespace ORVEX::Tessary::Controller {

FixedMessageReceiver::FixedMessageReceiver(int statusPort, int nbOfBUSServer) {
    StatusPort = statusPort;
    NbOfBUSServer = nbOfBUSServer;
}

FixedMessageReceiver::~FixedMessageReceiver() = default;

} // namespace ORVEX::Tessary::Controller
