#include "tools/QueryCommands.h"

#include "tools/BusClients.h"
#include "tools/ErrorTrap.h"

#include "tessary/client/Client.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

namespace tool {

namespace {

using ORVEX::Tessary::Controller::Client;

class OnlineCommand : public Command {
public:
    explicit OnlineCommand(CLI::App& parent)
        : Command(parent.add_subcommand("online", "Ask the bus whether TARGET is on-line")) {
        m_App->add_option("TARGET", m_Target, "Source id to look for")->required();
        m_App->add_option("--source", m_SourceID, "This sender's source id")->capture_default_str();
        AddBusOptions(*m_App, m_Bus);
    }

    int Run() override {
        PrepareLibrary(m_Bus);
        BusClient<Client> client(m_Bus, m_SourceID);
        ErrorTrap trap(client, m_Bus, m_Target);
        if (client.IsOnline(m_Target.c_str())) {
            std::printf("%s is online\n", m_Target.c_str());
            return 0;
        }
        if (!client.Connect()) {
            std::fprintf(stderr, "tessary online: %s\n", trap.Describe().c_str());
            return 1;
        }
        std::printf("%s is offline\n", m_Target.c_str());
        return 1;
    }

private:
    BusOptions m_Bus;
    std::string m_Target;
    std::string m_SourceID = "tessary-cli";
};

class UidCommand : public Command {
public:
    explicit UidCommand(CLI::App& parent)
        : Command(parent.add_subcommand(
              "uid", "Ask the bus for a source id derived from ID that nobody uses")) {
        m_App->add_option("ID", m_ID, "The id wanted")->required();
        AddBusOptions(*m_App, m_Bus);
    }

    int Run() override {
        PrepareLibrary(m_Bus);
        BusClient<Client> client(m_Bus, m_ID);
        ErrorTrap trap(client, m_Bus, m_ID);
        // Without a connection the library answers the id unchanged; only the connection
        // tells a granted id from an unreachable bus.
        if (!client.Connect()) {
            std::fprintf(stderr, "tessary uid: %s\n", trap.Describe().c_str());
            return 1;
        }
        const DString id = client.SetUniqueSourceID(m_ID.c_str());
        std::printf("%s\n", id.c_str());
        return 0;
    }

private:
    BusOptions m_Bus;
    std::string m_ID;
};

} // namespace

std::unique_ptr<Command> MakeOnlineCommand(CLI::App& parent) {
    return std::make_unique<OnlineCommand>(parent);
}

std::unique_ptr<Command> MakeUidCommand(CLI::App& parent) {
    return std::make_unique<UidCommand>(parent);
}

} // namespace tool
