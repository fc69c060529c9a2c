#include "tools/App.h"

#include "tools/BenchCommand.h"
#include "tools/Command.h"
#include "tools/DemoCommand.h"
#include "tools/ListenCommand.h"
#include "tools/MessageCommands.h"
#include "tools/QueryCommands.h"
#include "tools/ServerCommand.h"
#include "tools/StatsCommand.h"

#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <vector>

namespace tool {

namespace {

#define TESSARY_STR2(x) #x
#define TESSARY_STR(x) TESSARY_STR2(x)
constexpr const char* VersionText = "tessary " TESSARY_STR(TESSARY_VERSION_MAJOR) "." TESSARY_STR(
    TESSARY_VERSION_MINOR) "." TESSARY_STR(TESSARY_VERSION_PATCH);

} // namespace

int RunTool(int argc, char** argv) {
    CLI::App app{"tessary: send, receive, measure and demonstrate messages and BLOBs on a "
                 "Tessary bus. Every subcommand has --help."};
    app.set_version_flag("--version", VersionText);
    app.require_subcommand(1);

    std::vector<std::unique_ptr<Command>> commands;
    commands.push_back(MakeServerCommand(app));
    commands.push_back(MakeSendCommand(app));
    commands.push_back(MakePostCommand(app));
    commands.push_back(MakeForwardCommand(app));
    commands.push_back(MakeListenCommand(app));
    commands.push_back(MakeOnlineCommand(app));
    commands.push_back(MakeUidCommand(app));
    commands.push_back(MakeStatsCommand(app));
    commands.push_back(MakeBenchCommand(app));
    commands.push_back(MakeDemoCommand(app));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    for (const auto& command : commands) {
        if (command->App()->parsed()) {
            return command->Run();
        }
    }
    return 2;
}

} // namespace tool
