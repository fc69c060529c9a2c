// One end of the big streamed BLOB of BLOBMemoryTest, in a process of its own so that its peak
// memory is its own. Talks to the test over stdout, one "KEY value" line at a time:
//
//   blob_memory_peer receive <status port> <bytes>
//       BASE <kB>, READY, then (after the BLOB and the end of stdin) RESULT <text>, HWM <kB>
//   blob_memory_peer send <command port> <bytes> <chunk bytes>
//       BASE <kB>, RESULT <text>, HWM <kB>
//
// The BLOB is the pattern of seed 5 (tests/e2e/Pattern.h); RESULT is "ok" when it arrived whole
// and the acknowledgement came back.
#include "tessary/client/BLOBStreamClient.h"
#include "tessary/receiver/FixedBLOBReceiver.h"
#include "tests/e2e/Pattern.h"
#include "testkit/BusClient.h"
#include "tests/support/ChildProcess.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

using namespace blobtest;
using namespace ORVEX::Tessary::Controller;

namespace {

constexpr uint64_t Seed = 5;
constexpr unsigned long Command = 9000;
constexpr const char* ReceiverID = "memrx";

void Say(const std::string& key, const std::string& value) {
    std::printf("%s %s\n", key.c_str(), value.c_str());
    std::fflush(stdout);
}

int Receive(int statusPort, size_t bytes) {
    FixedBLOBReceiver receiver(statusPort, 1);
    receiver.SetSourceID(ReceiverID);
    // Room for the BLOB and its text.
    receiver.SetMaxFrameBytes(static_cast<int>(bytes + (1 << 20)));
    std::atomic<bool> online{false};
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::string result = "no BLOB";
    receiver.ServerOnlineEvent.Add(
        C11DelegateHandler<EventArgs_Int>([&](const void*, EventArgs_Int*) { online = true; }));
    receiver.BLOBEvent.Add(static_cast<int>(Command),
                           C11DelegateHandler<EventArgs_BUSMessage>(
                               [&](const void*, EventArgs_BUSMessage* m) {
                                   auto* e = static_cast<EventArgs_BUSBLOB*>(m);
                                   const size_t n = static_cast<size_t>(e->BLOB.Length());
                                   const size_t at = PatternMismatch(e->BLOB, Seed);
                                   std::string text = "ok";
                                   if (n != bytes || at != n) {
                                       text = "got " + std::to_string(n) + " bytes, differs at " +
                                              std::to_string(at);
                                   }
                                   e->ReplyText = text.c_str();
                                   std::lock_guard<std::mutex> lock(mutex);
                                   result = text;
                                   done = true;
                               }));
    receiver.StartWait();
    if (!Eventually([&] { return online.load(); }, std::chrono::seconds(10))) {
        Say("RESULT", "never on line");
        return 1;
    }
    Say("BASE", std::to_string(StatusKB(getpid(), "VmRSS")));
    Say("READY", "");
    Eventually([&] { return done.load(); }, std::chrono::seconds(100));
    // The acknowledgement goes out after the handler; the test closes stdin once the sender
    // has it, and only then may the connection go.
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        Say("RESULT", result);
    }
    Say("HWM", std::to_string(StatusKB(getpid(), "VmHWM")));
    receiver.StopWait();
    return 0;
}

int Send(int commandPort, size_t bytes, size_t chunkBytes) {
    BusClient<BLOBStreamClient> client;
    client.UseBus(commandPort, 1);
    client.SetSourceID("memtx");
    Say("BASE", std::to_string(StatusKB(getpid(), "VmRSS")));
    std::vector<unsigned char> chunk(chunkBytes);
    DString reply;
    const bool sent = client.SendBLOB(
        ReceiverID, Command, DString("1 GiB"),
        [&](BUSStream stream) {
            for (size_t written = 0; written < bytes;) {
                const size_t n = std::min(chunkBytes, bytes - written);
                FillPattern(chunk.data(), n, Seed, written);
                stream.Write(chunk.data(), static_cast<int>(n));
                written += n;
            }
        },
        reply, 100000);
    Say("RESULT", sent ? std::string(reply.c_str()) : "SendBLOB failed");
    Say("HWM", std::to_string(StatusKB(getpid(), "VmHWM")));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "receive" && argc == 4) {
        return Receive(std::atoi(argv[2]), std::strtoull(argv[3], nullptr, 10));
    }
    if (mode == "send" && argc == 5) {
        return Send(std::atoi(argv[2]), std::strtoull(argv[3], nullptr, 10),
                    std::strtoull(argv[4], nullptr, 10));
    }
    std::fprintf(stderr, "usage: %s receive <port> <bytes> | send <port> <bytes> <chunk>\n",
                 argv[0]);
    return 2;
}
