#pragma once

#include "server/BusServer.h"

#include <memory>

// The bus of one test or benchmark: bus servers of this process on ports the OS picks, bus
// server k on command port CommandPort() + 2k and status port StatusPort() + 2k. The heartbeats
// are slow enough that none lands in a run that does not ask for one. Users link
// tessary_busd_core.
inline busd::BusServerOptions BusOptions(int count = 2) {
    busd::BusServerOptions options;
    options.CommandPort = 0;
    options.StatusPort = 0;
    options.NbOfBUSServer = count;
    options.HeartRateMs = 60000;
    options.Heartbeat1MinuteMs = 600000;
    options.Heartbeat5MinuteMs = 600000;
    return options;
}

// The started bus, or null when it could not bind its ports.
inline std::unique_ptr<busd::BusServer> StartBus(const busd::BusServerOptions& options) {
    auto bus = std::make_unique<busd::BusServer>(options);
    if (!bus->Start()) {
        return nullptr;
    }
    return bus;
}
