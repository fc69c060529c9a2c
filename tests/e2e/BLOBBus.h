#pragma once

#include "server/BusServer.h"
#include "tessary/client/BLOBClient.h"
#include "tessary/client/BLOBStreamClient.h"
#include "tessary/client/MessageClient.h"
#include "tessary/foundation/TmplBlockBuffer.h"
#include "tests/e2e/Pattern.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace blobtest {

using ORVEX::Tessary::Controller::BLOBClient;
using ORVEX::Tessary::Controller::BLOBStreamClient;
using ORVEX::Tessary::Controller::BUSStream;
using ORVEX::Tessary::Controller::MessageClient;

constexpr std::chrono::milliseconds Bound{2000};

// Waits up to the bound (or longer, for gigabytes) for a condition another thread makes true.
template <typename F>
bool Eventually(F condition, std::chrono::milliseconds bound = Bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Uneven chunk lengths, zero-length writes among them, taken in turn until a streamed BLOB is
// written, and then to the end of the list, so that the last writes are empty.
inline constexpr size_t StreamChunks[] = {1, 0, 4095, 7, 0, 32769, 65536, 3, 1 << 20, 100000, 0};

// A writer of total bytes of the pattern of seed in the chunks above; counts its calls.
inline BLOBStreamClient::Writer PatternWriter(size_t total, uint64_t seed = 3,
                                              std::shared_ptr<std::atomic<int>> calls = nullptr) {
    return [total, seed, calls](BUSStream stream) {
        if (calls) {
            ++*calls;
        }
        constexpr size_t count = sizeof StreamChunks / sizeof StreamChunks[0];
        std::vector<unsigned char> chunk;
        size_t written = 0;
        for (size_t i = 0; written < total || i % count != 0; ++i) {
            const size_t n = std::min(StreamChunks[i % count], total - written);
            chunk.resize(n);
            FillPattern(chunk.data(), n, seed, written);
            stream.Write(chunk.data(), static_cast<int>(n));
            written += n;
        }
    };
}

// Senders pointed at the test's bus servers instead of the configured ones.
template <typename Base> class BusClient : public Base {
public:
    void UseBus(int commandPort, int count) {
        this->CommandPort = commandPort;
        this->NbOfBUSServer = count;
    }
    uint32_t Instance() const { return this->InstanceID; }
};

// Bus servers of this process on free ports, each bus server k on command port
// CommandPort() + 2k; no heartbeat lands in a test.
inline std::unique_ptr<busd::BusServer> StartBus(int count, int64_t maxFrameBytes = 80ll << 20) {
    busd::BusServerOptions options;
    options.CommandPort = 0;
    options.StatusPort = 0;
    options.NbOfBUSServer = count;
    options.HeartRateMs = 60000;
    options.MaxFrameBytes = maxFrameBytes;
    auto server = std::make_unique<busd::BusServer>(options);
    if (!server->Start()) {
        return nullptr;
    }
    return server;
}

} // namespace blobtest
