// blob_streamer: streams a file to a receiver as one BLOB, chunk by chunk, without ever
// holding it whole in memory, and prints the receiver's reply.
//
//   blob_streamer [--host ADDR] [--command-port PORT] [--servers N] [--chunk BYTES]
//                 [--timeout MS] TARGET COMMAND FILE
//
// Try it with the receiver example running:  blob_streamer example-receiver 2001 /etc/os-release

#include "tessary/Tessary.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using ORVEX::Tessary::Controller::BLOBStreamClient;
using ORVEX::Tessary::Controller::BUSStream;
using ORVEX::Tessary::Controller::Client;

namespace {

// The bus's address is protected in Client so that a subclass can point it elsewhere than
// the configured default.
class Streamer : public BLOBStreamClient {
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
    int ChunkBytes = 256 * 1024;
    int TimeOutMs = 60000;
    std::string Target;
    unsigned long Command = 0;
    std::string File;
};

void Usage(FILE* out) {
    std::fprintf(out, "usage: blob_streamer [--host ADDR] [--command-port PORT] [--servers N]\n"
                      "                     [--chunk BYTES] [--timeout MS] TARGET COMMAND FILE\n"
                      "Streams FILE to TARGET as one BLOB and prints the reply.\n");
}

// Returns 0 when the arguments are usable, -1 after --help, otherwise the exit status.
int Parse(int argc, char** argv, Arguments& args) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return -1;
        }
        if (arg.starts_with("--") && i + 1 < argc) {
            const char* value = argv[++i];
            if (arg == "--host") {
                args.Host = value;
            } else if (arg == "--command-port") {
                args.CommandPort = std::atoi(value);
            } else if (arg == "--servers") {
                args.Servers = std::atoi(value);
            } else if (arg == "--chunk") {
                args.ChunkBytes = std::atoi(value);
            } else if (arg == "--timeout") {
                args.TimeOutMs = std::atoi(value);
            } else {
                Usage(stderr);
                return 2;
            }
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 3 || args.ChunkBytes < 1) {
        Usage(stderr);
        return 2;
    }
    args.Target = positional[0];
    args.Command = std::strtoul(positional[1].c_str(), nullptr, 10);
    args.File = positional[2];
    return 0;
}

int Stream(const Arguments& args) {
    std::ifstream file(args.File, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot open %s\n", args.File.c_str());
        return 1;
    }

    Streamer client;
    client.UseBus(args.CommandPort, args.Servers);
    client.ConnectTo(args.Host.c_str());
    client.SetSourceID("example-streamer");

    int errorCode = 0;
    std::string errorText;
    auto remember = [&](const void*, EventArgs_Error* e) {
        errorCode = e->Code;
        errorText = e->Text.IsEmpty() ? e->WText.ToDString().str() : e->Text.str();
    };
    client.BusError.Add(C11DelegateHandler<EventArgs_Error>(remember));
    client.AckError.Add(C11DelegateHandler<EventArgs_Error>(remember));

    // Called once, on this thread, after the frame's head has gone out; each Write leaves at
    // once as one chunk, so only one chunk is ever in memory. The writer must not keep the
    // stream after it returns.
    long long sent = 0;
    auto writer = [&](BUSStream stream) {
        std::vector<char> chunk(static_cast<size_t>(args.ChunkBytes));
        while (file.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) ||
               file.gcount() > 0) {
            const int length = static_cast<int>(file.gcount());
            stream.Write(chunk.data(), length);
            sent += length;
        }
    };

    const auto start = std::chrono::steady_clock::now();
    DString reply;
    // The message text travels with the BLOB; here it names the file.
    if (!client.SendBLOB(args.Target.c_str(), args.Command, DString(args.File.c_str()), writer,
                         reply, args.TimeOutMs)) {
        std::printf("stream failed after %lld bytes: error %d: %s\n", sent, errorCode,
                    errorText.c_str());
        return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("streamed %lld bytes in %.3f s (%.1f MB/s)\n", sent, seconds,
                seconds > 0 ? static_cast<double>(sent) / seconds / 1e6 : 0.0);
    std::printf("reply: %s\n", reply.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (const int status = Parse(argc, argv, args); status != 0) {
        return status < 0 ? 0 : status;
    }
    Client::Prepare();
    const int status = Stream(args);
    Client::Quit();
    return status;
}
