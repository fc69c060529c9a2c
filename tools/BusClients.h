#pragma once

#include "tools/BusOptions.h"

#include "tessary/client/shared/SessionSocket.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace tool {

// A sender of class C pointed at the bus the command line names. The port fields are
// protected members of Client, open to subclasses for exactly this.
template <typename C> class BusClient : public C {
public:
    BusClient(const BusOptions& bus, const std::string& sourceId) {
        this->CommandPort = bus.CommandPort;
        this->NbOfBUSServer = bus.Servers;
        this->ConnectTo(bus.Host.c_str());
        this->SetSourceID(sourceId.c_str());
    }

    // The descriptor of the present connection (-1 when there is none), to watch a transfer
    // that the library makes in one call.
    int SocketHandle() const { return SessionSocket(this->PDUProxy); }
};

// A receiver of class R pointed at the bus the command line names.
template <typename R> class BusReceiver : public R {
public:
    explicit BusReceiver(const BusOptions& bus) {
        this->StatusPort = bus.StatusPort;
        this->NbOfBUSServer = bus.Servers;
        this->ConnectTo(bus.Host.c_str());
        this->SetMaxFrameBytes(static_cast<int>(std::min<int64_t>(bus.MaxFrameBytes, INT32_MAX)));
    }
};

} // namespace tool
