#include "tools/ListenCommand.h"

#include "tools/Format.h"
#include "tools/Listener.h"
#include "tools/StopSignals.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace tool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds Poll{25};
// How long the listener waits for every bus server before saying it listens anyway: a bus
// server that is down is tried again in the background.
constexpr std::chrono::seconds ReadyWait{5};

class ListenCommand : public Command {
public:
    explicit ListenCommand(CLI::App& parent)
        : Command(parent.add_subcommand(
              "listen", "Receive as ID: print every message, BLOB, heartbeat and bus server "
                        "event as it comes, and answer each message and BLOB")) {
        m_App->add_option("ID", m_ID, "Source id to receive as")->required();
        m_App
            ->add_option("--subscribe", m_Subscriptions,
                         "Also receive what is posted to nobody with this command code "
                         "(repeatable)")
            ->allow_extra_args(false);
        m_App->add_option("--reply", m_Answer.Reply,
                          "Reply text (default: \"received\", or \"received N bytes\" for a "
                          "BLOB)");
        m_App
            ->add_option("--error", m_Answer.ErrorCode,
                         "Refuse everything with this error code (not 0) instead")
            ->check([](const std::string& text) {
                return text == "0" ? std::string("the error code must not be 0")
                                   : std::string();
            });
        m_App->add_flag("--full", m_Answer.FullText,
                        fmt::format("Print each text whole (default: its first {} characters "
                                    "and its length)",
                                    PreviewLength));
        m_App->add_flag("--echo-blob", m_Answer.EchoBLOB,
                        "Send each BLOB back as the reply BLOB");
        m_App
            ->add_option("--save", m_Answer.SaveDir,
                         "Save each BLOB to a new file in this directory (named after sender "
                         "and command; never replaces a file)")
            ->check(CLI::ExistingDirectory);
        m_App
            ->add_option("--count", m_Count, "Stop after this many messages and BLOBs")
            ->check(CLI::Range(1, 2000000000));
        m_App
            ->add_option("--max-frame", m_Bus.MaxFrameBytes,
                         "Refuse a message whose text and BLOB bring more bytes than this "
                         "(default: MaxFrameBytes of BUSServer.Manager.INI, else 256 MiB, as "
                         "the bus server's own limit)")
            ->check(CLI::Range(int64_t{1}, int64_t{INT32_MAX}));
        AddBusOptions(*m_App, m_Bus);
    }

    int Run() override {
        // Before the first thread of the process, so that every thread inherits the mask.
        StopSignals stop;
        PrepareLibrary(m_Bus);
        Listener listener(m_Bus, m_ID, m_Answer, stdout);
        listener.StartWait();
        for (const unsigned long command : m_Subscriptions) {
            listener.Subscribe(command, 5000);
        }

        bool interrupted = false;
        const auto readyBy = Clock::now() + ReadyWait;
        while (!interrupted && listener.OnlineServers() < m_Bus.Servers &&
               Clock::now() < readyBy) {
            interrupted = stop.Wait(Poll);
        }
        if (!interrupted) {
            listener.Print(ReadyLine(listener.OnlineServers()));
        }
        while (!interrupted && (m_Count == 0 || listener.Received() < m_Count)) {
            interrupted = stop.Wait(Poll);
        }
        listener.StopWait();
        listener.Print(fmt::format("stopped after {} messages and BLOBs", listener.Received()));
        return 0;
    }

private:
    std::string ReadyLine(int online) const {
        std::string line = online >= m_Bus.Servers
                               ? fmt::format("listening as {} on {} bus server{}", m_ID, online,
                                             online == 1 ? "" : "s")
                               : fmt::format("listening as {}: {} of {} bus servers reachable so "
                                             "far, retrying",
                                             m_ID, online, m_Bus.Servers);
        for (size_t i = 0; i < m_Subscriptions.size(); ++i) {
            line += fmt::format("{}{}", i == 0 ? ", subscribed to " : ", ", m_Subscriptions[i]);
        }
        return line;
    }

    BusOptions m_Bus;
    std::string m_ID;
    std::vector<unsigned long> m_Subscriptions;
    ListenAnswer m_Answer;
    int64_t m_Count = 0;
};

} // namespace

std::unique_ptr<Command> MakeListenCommand(CLI::App& parent) {
    return std::make_unique<ListenCommand>(parent);
}

} // namespace tool
