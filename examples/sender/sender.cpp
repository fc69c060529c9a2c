// sender: posts a text to a receiver, then sends it and waits for the acknowledgement.
//
//   sender [--host ADDR] [--command-port PORT] [--servers N] [--timeout MS] TARGET COMMAND [TEXT]
//
// Try it with the receiver example running:  sender example-receiver 1001 hello
// Without the bus flags the library's configuration decides (BUSServer.Manager.INI in
// $TESSARY_SYSTEM_PATH, else command port 6630 and 4 bus servers).

#include "tessary/Tessary.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using ORVEX::Tessary::Controller::Client;
using ORVEX::Tessary::Controller::MessageClient;

namespace {

// The bus's address is protected in Client so that a subclass can point it elsewhere than
// the configured default.
class Sender : public MessageClient {
public:
    void UseBus(int commandPort, int servers) {
        if (commandPort > 0) {
            CommandPort = commandPort;
        }
        if (servers > 0) {
            NbOfBUSServer = servers;
        }
    }
};

struct Arguments {
    std::string Host = "127.0.0.1";
    int CommandPort = 0;
    int Servers = 0;
    int TimeOutMs = 5000;
    std::string Target;
    unsigned long Command = 0;
    std::string Text;
};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: sender [--host ADDR] [--command-port PORT] [--servers N] [--timeout MS]\n"
                 "              TARGET COMMAND [TEXT]\n"
                 "Posts TEXT to TARGET with the command code COMMAND, then sends it and prints\n"
                 "the reply. Library version %d.%d.\n",
                 TessaryGetVersion() >> 16, TessaryGetVersion() & 0xFFFF);
}

// Returns 0 when the arguments are usable, otherwise the exit status to leave with.
int Parse(int argc, char** argv, Arguments& args) {
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            Usage(stdout);
            return -1;
        }
        const bool takesValue = std::strcmp(arg, "--host") == 0 ||
                                std::strcmp(arg, "--command-port") == 0 ||
                                std::strcmp(arg, "--servers") == 0 ||
                                std::strcmp(arg, "--timeout") == 0;
        if (takesValue) {
            if (++i == argc) {
                break;
            }
            if (std::strcmp(arg, "--host") == 0) {
                args.Host = argv[i];
            } else if (std::strcmp(arg, "--command-port") == 0) {
                args.CommandPort = std::atoi(argv[i]);
            } else if (std::strcmp(arg, "--servers") == 0) {
                args.Servers = std::atoi(argv[i]);
            } else {
                args.TimeOutMs = std::atoi(argv[i]);
            }
        } else if (positional == 0) {
            args.Target = arg;
            ++positional;
        } else if (positional == 1) {
            args.Command = std::strtoul(arg, nullptr, 10);
            ++positional;
        } else {
            args.Text = arg;
            ++positional;
        }
    }
    if (positional < 2) {
        Usage(stderr);
        return 2;
    }
    return 0;
}

// One exchange with the target; every failure is reported with the error event's code and text.
int Exchange(const Arguments& args) {
    Sender client;
    client.UseBus(args.CommandPort, args.Servers);
    client.ConnectTo(args.Host.c_str());
    client.SetSourceID("example-sender");

    // The library never throws: a failed operation answers false and raises BusError (socket
    // errors, refusals by the bus server) and, for a send, AckError (the target's error code
    // and text, or code 0 when no acknowledgement came in time). Both run on this thread.
    int errorCode = 0;
    std::string errorText;
    auto remember = [&](const void*, EventArgs_Error* e) {
        errorCode = e->Code;
        errorText = e->Text.IsEmpty() ? e->WText.ToDString().str() : e->Text.str();
    };
    client.BusError.Add(C11DelegateHandler<EventArgs_Error>(remember));
    client.AckError.Add(C11DelegateHandler<EventArgs_Error>(remember));

    if (!client.IsOnline(args.Target.c_str())) {
        if (errorCode != 0) {
            std::printf("bus not reachable: error %d: %s\n", errorCode, errorText.c_str());
        } else {
            std::printf("%s is not on-line\n", args.Target.c_str());
        }
        return 1;
    }

    // A post is done once the bus server has taken it; nobody answers.
    if (!client.Post(args.Target.c_str(), args.Command, DString(args.Text.c_str()))) {
        std::printf("post failed: error %d: %s\n", errorCode, errorText.c_str());
        return 1;
    }
    std::printf("posted\n");

    // A send waits for the target's acknowledgement, which may carry a reply text.
    DString reply;
    if (!client.Send(args.Target.c_str(), args.Command, DString(args.Text.c_str()), reply,
                     args.TimeOutMs)) {
        std::printf("send failed: error %d: %s\n", errorCode, errorText.c_str());
        return 1;
    }
    std::printf("reply: %s\n", reply.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (const int status = Parse(argc, argv, args); status != 0) {
        return status < 0 ? 0 : status;
    }
    // Reads the configuration once per process; every client and receiver shares it. Quit
    // comes last, on the same thread, after every client is gone.
    Client::Prepare();
    const int status = Exchange(args);
    Client::Quit();
    return status;
}
