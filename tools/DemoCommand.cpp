#include "tools/DemoCommand.h"

#include "server/BusServer.h"
#include "tools/BlobFiles.h"
#include "tools/BusClients.h"
#include "tools/DemoReceiver.h"
#include "tools/ErrorTrap.h"
#include "tools/Format.h"
#include "tools/Progress.h"
#include "tools/Table.h"
#include "tools/TransferWatch.h"

#include "tessary/client/BLOBClient.h"
#include "tessary/client/BLOBStreamClient.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace tool {

namespace {

using ORVEX::Tessary::Controller::BLOBClient;
using ORVEX::Tessary::Controller::BLOBStreamClient;
using ORVEX::Tessary::Controller::BUSStream;
using ORVEX::Tessary::Controller::Client;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* ReceiverID = "demo-rx";
constexpr const char* AbsentID = "nobody-here";
// Non-ASCII on purpose: the 16-bit send carries it as UTF-16 and back.
constexpr const char* WideText = "gr\u00fc\u00dfe, \u4e16\u754c";
constexpr int StreamChunkBytes = 256 << 10;
// Every wait of the demo is bounded: messages take milliseconds, BLOBs well under a second.
constexpr int MessageTimeOutMs = 5000;
constexpr int BLOBTimeOutMs = 20000;
constexpr auto EventWait = 5s;

struct Settings {
    bool DefaultPorts = false;
    int Servers = 0;
    std::string BLOBSize = "64M";
    BusOptions Log;
};

struct Outcome {
    bool Pass = false;
    std::string Detail;
};

Outcome Pass(std::string detail) {
    return {true, std::move(detail)};
}
Outcome Fail(std::string detail) {
    return {false, std::move(detail)};
}

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Throughput(int64_t bytes, double seconds) {
    return fmt::format("{} in {} ({})", FormatBytes(bytes), FormatSeconds(seconds),
                       FormatRate(seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0));
}

// Bytes that are cheap to make and differ everywhere, so a lost or shifted chunk changes the
// checksum.
Block PatternBlock(int length) {
    Block block;
    unsigned char* data = block.Allocate(length);
    uint64_t state = 0x2545F4914F6CDD1Dull;
    for (int i = 0; i < length; i += 8) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        std::memcpy(data + i, &state, static_cast<size_t>(std::min(8, length - i)));
    }
    return block;
}

uint64_t ChecksumOf(const Block& block) {
    return Checksum(block.GetData(), static_cast<size_t>(block.Length()));
}

bool ReplyMatches(const Block& reply, uint64_t expected) {
    uint64_t got = 0;
    if (reply.Length() != static_cast<int>(sizeof got)) {
        return false;
    }
    std::memcpy(&got, reply.GetData(), sizeof got);
    return got == expected;
}

std::string PortList(const busd::BusServer& server, bool command) {
    std::string list;
    for (int k = 0; k < server.NbOfBUSServer(); ++k) {
        list += fmt::format("{}{}", k == 0 ? "" : ", ",
                            command ? server.CommandPort(k) : server.StatusPort(k));
    }
    return list;
}

class Demo {
public:
    Demo(const Settings& settings, int64_t blobBytes)
        : m_Settings(settings), m_BLOBBytes(blobBytes),
          m_Table({{"step", 16}, {"result", 6}, {"detail", 0}}) {}

    int Run() {
        const auto start = Clock::now();
        std::printf("Tessary demo: bus servers, a BLOB receiver and senders, all in this "
                    "process\n\n");
        std::fputs(m_Table.Header().c_str(), stdout);
        std::fflush(stdout);
        if (Row("bus servers", StartBus())) {
            Exchanges();
        }
        if (m_Server) {
            m_Server->Stop();
        }
        std::printf("\n");
        if (m_Failed == 0) {
            std::printf("all %d steps passed in %s\n", m_Steps,
                        FormatSeconds(Since(start)).c_str());
            std::printf("\nTry it across processes: `tessary server`, then `tessary listen rx` "
                        "and `tessary send rx 7 hello` in two more terminals.\n");
        } else {
            std::printf("%d of %d steps failed\n", m_Failed, m_Steps);
        }
        return m_Failed == 0 ? 0 : 1;
    }

private:
    bool Row(const char* step, const Outcome& outcome) {
        ++m_Steps;
        m_Failed += outcome.Pass ? 0 : 1;
        std::fputs(m_Table.Row({step, outcome.Pass ? "PASS" : "FAIL", outcome.Detail}).c_str(),
                   stdout);
        std::fflush(stdout);
        return outcome.Pass;
    }

    Outcome StartBus() {
        busd::BusServerOptions options;
        options.NbOfBUSServer = m_Settings.Servers;
        // Both at 0: a run of free ports is found, the status ports one above the command ports.
        options.CommandPort = m_Settings.DefaultPorts ? Client::GetDefCommandPort() : 0;
        options.StatusPort = m_Settings.DefaultPorts ? Client::GetDefStatusPort() : 0;
        // The demo's BLOB with its frame, whatever --blob-size asks for.
        options.MaxFrameBytes = std::max<int64_t>(options.MaxFrameBytes, m_BLOBBytes + (1 << 20));
        m_Server = std::make_unique<busd::BusServer>(options);
        if (!m_Server->Start()) {
            m_Server.reset();
            if (m_Settings.DefaultPorts) {
                return Fail(fmt::format("cannot listen on command port {} and status port {} "
                                        "and up: is a bus already running? Without "
                                        "--default-ports the demo takes free ports",
                                        options.CommandPort, options.StatusPort));
            }
            return Fail("cannot find free ports on 127.0.0.1");
        }
        m_Bus.Host = "127.0.0.1";
        m_Bus.CommandPort = m_Server->CommandPort();
        m_Bus.StatusPort = m_Server->StatusPort();
        m_Bus.Servers = m_Server->NbOfBUSServer();
        m_Bus.MaxFrameBytes = options.MaxFrameBytes;
        return Pass(fmt::format("{} on 127.0.0.1, command ports {}; status ports {}", m_Bus.Servers,
                                PortList(*m_Server, true), PortList(*m_Server, false)));
    }

    void Exchanges() {
        DemoReceiver receiver(m_Bus, ReceiverID);
        receiver.StartWait();
        const int online = receiver.WaitOnline(m_Bus.Servers, EventWait);
        Row("server on-line",
            online == m_Bus.Servers
                ? Pass(fmt::format("{} registered; on-line event from {} of {} bus servers",
                                   ReceiverID, online, m_Bus.Servers))
                : Fail(fmt::format("on-line event from {} of {} bus servers within {} s", online,
                                   m_Bus.Servers, EventWait.count())));

        BusClient<BLOBClient> client(m_Bus, "demo-tx");
        ErrorTrap trap(client, m_Bus, ReceiverID);
        // Every step runs even after a failure: each one is bounded, and the table shows which
        // parts work.
        Row("on-line check", OnlineCheck(client));
        Row("post", PostStep(client, trap, receiver));
        Row("send (8-bit)", Send8(client, trap));
        Row("send (16-bit)", Send16(client, trap));
        Row(m_BLOBLabel.c_str(), BLOBStep(client, trap));
        Row("streamed BLOB", StreamStep());
        Row("error ack", ErrorStep(client, trap));
        Row("unique id", UniqueStep());
        client.Close();
        receiver.StopWait();
    }

    static Outcome OnlineCheck(BusClient<BLOBClient>& client) {
        const bool present = client.IsOnline(ReceiverID);
        const bool absent = !client.IsOnline(AbsentID);
        if (present && absent) {
            return Pass(fmt::format("{} is on-line, {} is not", ReceiverID, AbsentID));
        }
        return Fail(present ? fmt::format("{} reported on-line", AbsentID)
                            : fmt::format("{} reported off-line", ReceiverID));
    }

    static Outcome PostStep(BusClient<BLOBClient>& client, ErrorTrap& trap,
                            DemoReceiver& receiver) {
        trap.Reset();
        if (!client.Post(ReceiverID, DemoCode::Notice, DString("hello by post"))) {
            return Fail(trap.Describe());
        }
        std::string text;
        if (!receiver.WaitNotice(text, EventWait)) {
            return Fail(fmt::format("accepted by the bus, but {} did not get it", ReceiverID));
        }
        return Pass(fmt::format("accepted by the bus; {} got \"{}\"", ReceiverID, text));
    }

    static Outcome Send8(BusClient<BLOBClient>& client, ErrorTrap& trap) {
        trap.Reset();
        DString reply;
        const auto start = Clock::now();
        if (!client.Send(ReceiverID, DemoCode::Echo, DString("hello"), reply, MessageTimeOutMs)) {
            return Fail(trap.Describe());
        }
        const double seconds = Since(start);
        if (reply.str() != "pong: hello") {
            return Fail(fmt::format("unexpected reply \"{}\"", reply.str()));
        }
        return Pass(fmt::format("reply \"{}\" in {}", reply.str(), FormatSeconds(seconds)));
    }

    static Outcome Send16(BusClient<BLOBClient>& client, ErrorTrap& trap) {
        trap.Reset();
        WString reply;
        const auto start = Clock::now();
        if (!client.Send(ReceiverID, DemoCode::Echo, WString(WideText), reply, MessageTimeOutMs)) {
            return Fail(trap.Describe());
        }
        const double seconds = Since(start);
        const std::string text = reply.ToDString().str();
        if (text != std::string("pong: ") + WideText) {
            return Fail(fmt::format("unexpected reply \"{}\"", text));
        }
        return Pass(fmt::format("reply \"{}\" as UTF-16 in {}", text, FormatSeconds(seconds)));
    }

    Outcome BLOBStep(BusClient<BLOBClient>& client, ErrorTrap& trap) const {
        const Block blob = PatternBlock(static_cast<int>(m_BLOBBytes));
        const uint64_t sum = ChecksumOf(blob);
        trap.Reset();
        TransferProgress progress("BLOB", m_BLOBBytes);
        if (progress.Enabled()) {
            // Connected first, so the watch has the socket the transfer will use.
            client.Connect();
        }
        // Sent twice: the first BLOB of a process also pays for memory touched for the first
        // time and for TCP growing its buffers; the second shows what the bus itself costs.
        double seconds[2] = {0, 0};
        for (double& elapsed : seconds) {
            DString reply;
            Block replyBLOB;
            const auto start = Clock::now();
            bool sent = false;
            {
                TransferWatch watch(progress.Enabled() ? client.SocketHandle() : -1, progress);
                sent = client.SendBLOB(ReceiverID, DemoCode::Digest, DString("a BLOB"), blob,
                                       reply, replyBLOB, BLOBTimeOutMs);
            }
            elapsed = Since(start);
            progress.Finish();
            if (!sent) {
                return Fail(trap.Describe());
            }
            if (reply.str() != fmt::format("received {} bytes", m_BLOBBytes)) {
                return Fail(fmt::format("unexpected reply \"{}\"", reply.str()));
            }
            if (!ReplyMatches(replyBLOB, sum)) {
                return Fail(fmt::format("the reply BLOB ({} bytes) does not hold the checksum "
                                        "of what was sent",
                                        replyBLOB.Length()));
            }
        }
        return Pass(Throughput(m_BLOBBytes, seconds[1]) + ", the first " +
                    FormatSeconds(seconds[0]) + "; reply BLOB: checksum matches");
    }

    Outcome StreamStep() const {
        BusClient<BLOBStreamClient> streamer(m_Bus, "demo-stream");
        ErrorTrap trap(streamer, m_Bus, ReceiverID);
        const int total = static_cast<int>(std::max<int64_t>(m_BLOBBytes / 4, 1));
        const Block blob = PatternBlock(total);
        const uint64_t sum = ChecksumOf(blob);
        int chunks = 0;
        // Written while the frame goes out, one chunk on the wire per Write.
        auto writer = [&blob, &chunks](BUSStream stream) {
            for (int offset = 0; offset < blob.Length(); offset += StreamChunkBytes) {
                stream.Write(blob.GetData() + offset,
                             std::min(StreamChunkBytes, blob.Length() - offset));
                ++chunks;
            }
        };
        // Twice, as the BLOB step: the second shows the bus without first-time costs.
        double seconds[2] = {0, 0};
        for (double& elapsed : seconds) {
            DString reply;
            Block replyBLOB;
            chunks = 0;
            const auto start = Clock::now();
            if (!streamer.SendBLOB(ReceiverID, DemoCode::Digest, DString("a stream"), writer,
                                   reply, replyBLOB, BLOBTimeOutMs)) {
                return Fail(trap.Describe());
            }
            elapsed = Since(start);
            if (!ReplyMatches(replyBLOB, sum)) {
                return Fail(fmt::format("received as {} bytes; the checksum does not match",
                                        reply.str()));
            }
        }
        return Pass(fmt::format("{} chunks, {}, the first {}; checksum matches", chunks,
                                Throughput(total, seconds[1]), FormatSeconds(seconds[0])));
    }

    static Outcome ErrorStep(BusClient<BLOBClient>& client, ErrorTrap& trap) {
        trap.Reset();
        DString reply;
        if (client.Send(ReceiverID, DemoCode::Refuse, DString("please refuse"), reply,
                        MessageTimeOutMs)) {
            return Fail("accepted, although the handler refuses it");
        }
        if (trap.Code() != DemoCode::RefuseCode) {
            return Fail(trap.Describe());
        }
        return Pass(trap.Describe());
    }

    Outcome UniqueStep() const {
        BusClient<Client> client(m_Bus, "demo-uid");
        ErrorTrap trap(client, m_Bus, ReceiverID);
        const std::string id = client.SetUniqueSourceID(ReceiverID).str();
        if (id.empty() || id == ReceiverID) {
            return Fail(trap.Empty() ? fmt::format("the bus gave {} although it is taken", id)
                                     : trap.Describe());
        }
        return Pass(fmt::format("{} is taken; the bus offered {}", ReceiverID, id));
    }

    const Settings& m_Settings;
    const int64_t m_BLOBBytes;
    const std::string m_BLOBLabel = "BLOB " + FormatBytes(m_BLOBBytes);
    Table m_Table;
    std::unique_ptr<busd::BusServer> m_Server;
    BusOptions m_Bus;
    int m_Steps = 0;
    int m_Failed = 0;
};

class DemoCommand : public Command {
public:
    explicit DemoCommand(CLI::App& parent)
        : Command(parent.add_subcommand(
              "demo", "Start bus servers, a BLOB receiver and senders in this process and show "
                      "every kind of exchange working")) {
        m_App->add_flag("--default-ports", m_Settings.DefaultPorts,
                        "Use the library's default ports (BUSServer.Manager.INI, else 6630 and "
                        "6631) instead of free ones");
        m_App
            ->add_option("--servers", m_Settings.Servers,
                         "Number of bus servers (default: NbOfBUSServer of "
                         "BUSServer.Manager.INI, else 4)")
            ->check(CLI::Range(1, 64));
        m_App
            ->add_option("--blob-size", m_Settings.BLOBSize,
                         "Size of the BLOB step, e.g. 64M or 1G (the streamed one is a quarter)")
            ->capture_default_str()
            ->check([](const std::string& text) {
                const auto size = ParseByteSize(text);
                return size && *size >= 1 && *size <= (1ll << 30)
                           ? std::string()
                           : std::string("a size from 1 byte to 1G");
            });
        m_App->add_option("--log-file", m_Settings.Log.LogFile,
                          "Write the library's log to this file");
        m_App->add_flag("-v,--verbose", m_Settings.Log.Verbose,
                        "Show the library's warnings and errors on stderr");
    }

    int Run() override {
        PrepareLibrary(m_Settings.Log);
        if (m_Settings.Servers == 0) {
            m_Settings.Servers = m_Settings.Log.Servers;
        }
        return Demo(m_Settings, *ParseByteSize(m_Settings.BLOBSize)).Run();
    }

private:
    Settings m_Settings;
};

} // namespace

std::unique_ptr<Command> MakeDemoCommand(CLI::App& parent) {
    return std::make_unique<DemoCommand>(parent);
}

} // namespace tool
