// tessary-busd: hosts the bus servers that Tessary clients and receivers talk to.

#include "server/Daemon.h"

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    busd::DaemonSettings settings = busd::DefaultDaemonSettings();
    CLI::App app{"tessary-busd: the Tessary bus server. Bus server k listens on command port "
                 "+ 2k and status port + 2k; port defaults come from BUSServer.Manager.INI."};
    busd::AddDaemonOptions(app, settings);
    CLI11_PARSE(app, argc, argv);
    return busd::RunDaemon(settings, "tessary-busd");
}
