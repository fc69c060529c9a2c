#include "tools/ServerCommand.h"

#include "server/Daemon.h"

#include <CLI/CLI.hpp>

namespace tool {

namespace {

class ServerCommand : public Command {
public:
    explicit ServerCommand(CLI::App& parent)
        : Command(parent.add_subcommand(
              "server", "Run the bus servers in the foreground until Ctrl-C (as tessary-busd)")),
          m_Settings(busd::DefaultDaemonSettings()) {
        busd::AddDaemonOptions(*m_App, m_Settings);
    }

    int Run() override { return busd::RunDaemon(m_Settings, "tessary server"); }

private:
    busd::DaemonSettings m_Settings;
};

} // namespace

std::unique_ptr<Command> MakeServerCommand(CLI::App& parent) {
    return std::make_unique<ServerCommand>(parent);
}

} // namespace tool
