#pragma once

namespace CLI {
class App;
}

namespace tool {

// One subcommand of the tool: it declares its options on its CLI11 subcommand when built and
// runs when that subcommand was the one given. Run answers the process exit status.
class Command {
public:
    explicit Command(CLI::App* app) : m_App(app) {}
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;
    virtual ~Command() = default;

    CLI::App* App() const { return m_App; }
    virtual int Run() = 0;

protected:
    CLI::App* m_App;
};

} // namespace tool
