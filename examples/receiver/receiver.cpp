// receiver: registers an id on the bus and answers a few commands until Ctrl-C.
//
//   receiver [--host ADDR] [--status-port PORT] [--servers N] [ID]
//
//   1001  echo: replies with the message text
//   1002  wide: replies with the text in 16-bit characters, in brackets
//   1003  refuse: answers with error 42 and a text
//   2001  BLOB: replies with the BLOB's size and sends its first bytes back as a reply BLOB
//
// Any other command gets an empty acknowledgement. The default id is example-receiver.

#include "tessary/Tessary.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using ORVEX::Tessary::Controller::BLOBReceiver;
using ORVEX::Tessary::Controller::Client;

namespace {

constexpr int EchoCommand = 1001;
constexpr int WideCommand = 1002;
constexpr int RefuseCommand = 1003;
constexpr int BLOBCommand = 2001;

// A BLOBReceiver takes both text messages and BLOBs; its two tables map a command code to the
// handlers for it. Handlers run on the library's threads (one per bus server, so possibly
// several at once) and answer by filling the record they are given.
class ExampleReceiver : public BLOBReceiver {
public:
    ExampleReceiver(int statusPort, int servers) {
        // The bus's address is protected so that a subclass can point it elsewhere than the
        // configured default.
        if (statusPort > 0) {
            StatusPort = statusPort;
        }
        if (servers > 0) {
            NbOfBUSServer = servers;
        }

        MessageEvent.Add(EchoCommand, Handler([](EventArgs_BUSMessage* e) {
                             std::printf("%s: %s\n", e->SourceID.c_str(), e->Message.c_str());
                             e->ReplyText = e->Message;
                         }));
        MessageEvent.Add(WideCommand, Handler([](EventArgs_BUSMessage* e) {
                             // A 16-bit message arrives in WMessage, an 8-bit one in Message.
                             WString text = e->WMessage.IsEmpty() ? WString(e->Message)
                                                                  : e->WMessage;
                             e->WReplyText = WString(u"[");
                             e->WReplyText += text;
                             e->WReplyText += WString(u"]");
                         }));
        MessageEvent.Add(RefuseCommand, Handler([](EventArgs_BUSMessage* e) {
                             // Any code but 0 makes the answer an error the sender sees.
                             e->ResultCode = 42;
                             e->ReplyText = "refused by example-receiver";
                         }));
        // BLOB handlers get the BLOB's own record; the table hands it over as its base.
        BLOBEvent.Add(BLOBCommand, Handler([](EventArgs_BUSMessage* message) {
                          auto* e = static_cast<EventArgs_BUSBLOB*>(message);
                          std::printf("%s: BLOB of %d bytes, message \"%s\"\n",
                                      e->SourceID.c_str(), e->BLOB.Length(),
                                      e->Message.c_str());
                          e->ReplyText = DString::FromFormat("received %d bytes", e->BLOB.Length());
                          const int head = std::min(e->BLOB.Length(), 16);
                          if (head > 0) {
                              std::memcpy(e->ReplyBLOB.Allocate(head), e->BLOB.GetData(),
                                          static_cast<size_t>(head));
                          }
                      }));

        ServerOnlineEvent.Add(C11DelegateHandler<EventArgs_Int>([](const void*, EventArgs_Int* e) {
            std::printf("bus server on status port %d: on-line\n", e->Value);
        }));
        ServerOfflineEvent.Add(C11DelegateHandler<EventArgs_Int>([](const void*, EventArgs_Int* e) {
            std::printf("bus server on status port %d: off-line\n", e->Value);
        }));
    }

    // Stopping first keeps the library's threads out of this object while it goes.
    ~ExampleReceiver() override { StopWait(); }

private:
    template <typename F> static C11DelegateHandler<EventArgs_BUSMessage> Handler(F body) {
        return C11DelegateHandler<EventArgs_BUSMessage>(
            [body](const void*, EventArgs_BUSMessage* e) { body(e); });
    }
};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: receiver [--host ADDR] [--status-port PORT] [--servers N] [ID]\n"
                 "Answers commands 1001 (echo), 1002 (wide reply), 1003 (error 42) and 2001\n"
                 "(BLOB) sent to ID (default example-receiver) until Ctrl-C.\n");
}

} // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    std::string id = "example-receiver";
    int statusPort = 0;
    int servers = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        }
        if ((arg == "--host" || arg == "--status-port" || arg == "--servers") && i + 1 < argc) {
            const char* value = argv[++i];
            if (arg == "--host") {
                host = value;
            } else if (arg == "--status-port") {
                statusPort = std::atoi(value);
            } else {
                servers = std::atoi(value);
            }
        } else if (arg.starts_with("-")) {
            Usage(stderr);
            return 2;
        } else {
            id = arg;
        }
    }
    // Output is read by other programs as well as by people: one line at a time.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // Blocked before the library starts its threads, so they inherit the mask and Ctrl-C
    // reaches only the sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Client::Prepare();
    {
        ExampleReceiver receiver(statusPort, servers);
        receiver.ConnectTo(host.c_str());
        receiver.SetSourceID(id.c_str());
        receiver.StartWait();
        std::printf("%s waiting; Ctrl-C stops\n", id.c_str());

        int signal = 0;
        sigwait(&stopSignals, &signal);
        std::printf("stopping\n");
    }
    Client::Quit();
    return 0;
}
