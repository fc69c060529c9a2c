#pragma once

#include "tessary/client/BLOBClient.h"
#include "tessary/client/BLOBStreamClient.h"
#include "tessary/client/MessageClient.h"
#include "tessary/foundation/TmplBlockBuffer.h"
#include "tests/e2e/Pattern.h"
#include "tests/support/BusClient.h"
#include "tests/support/EmbeddedBus.h"
#include "tests/support/Eventually.h"

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

} // namespace blobtest
