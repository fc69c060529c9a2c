#include "tools/FileBLOB.h"

#include "tools/BlobFiles.h"
#include "tools/BusClients.h"
#include "tools/ErrorTrap.h"
#include "tools/Format.h"
#include "tools/Progress.h"
#include "tools/TransferWatch.h"

#include "tessary/client/BLOBClient.h"
#include "tessary/client/BLOBStreamClient.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace tool {

namespace {

using ORVEX::Tessary::Controller::BLOBClient;
using ORVEX::Tessary::Controller::BLOBStreamClient;
using ORVEX::Tessary::Controller::BUSStream;

// Each chunk of a streamed file leaves as one chunk on the wire.
constexpr size_t StreamChunkBytes = 1 << 20;

struct Outcome {
    bool Accepted = false;
    std::string Reply;
    Block ReplyBLOB;
};

// One call of the library for both senders: payload is the whole block for BLOBClient and the
// writer for BLOBStreamClient, whose overloads are otherwise the same.
template <typename C, typename P>
Outcome Deliver(C& client, const FileBLOBRequest& request, const P& payload) {
    Outcome outcome;
    const char* target = request.Target.c_str();
    if (request.Wide) {
        const WString text(request.Text.c_str());
        if (request.Post) {
            outcome.Accepted =
                client.PostBLOB(target, request.Command, text, payload, request.TimeOutMs);
            return outcome;
        }
        WString reply;
        outcome.Accepted = client.SendBLOB(target, request.Command, text, payload, reply,
                                           outcome.ReplyBLOB, request.TimeOutMs);
        outcome.Reply = reply.ToDString().str();
        return outcome;
    }
    const DString text(request.Text);
    if (request.Post) {
        outcome.Accepted =
            client.PostBLOB(target, request.Command, text, payload, request.TimeOutMs);
        return outcome;
    }
    DString reply;
    outcome.Accepted = client.SendBLOB(target, request.Command, text, payload, reply,
                                       outcome.ReplyBLOB, request.TimeOutMs);
    outcome.Reply = reply.str();
    return outcome;
}

// Reads the file in chunks as the library asks for the BLOB. A read error throws, which makes
// the library drop the unfinished frame: the target never takes a short file for the whole.
BLOBStreamClient::Writer FileWriter(const InputFile& file, const std::string& path,
                                    TransferProgress& progress, int64_t& written,
                                    std::string& readError) {
    return [file, path, &progress, &written, &readError](BUSStream stream) {
        std::vector<unsigned char> chunk(StreamChunkBytes);
        for (;;) {
            const size_t n = std::fread(chunk.data(), 1, chunk.size(), file.get());
            if (n > 0) {
                stream.Write(chunk.data(), static_cast<int>(n));
                written += static_cast<int64_t>(n);
                progress.Update(written);
            }
            if (n < chunk.size()) {
                if (std::ferror(file.get()) != 0) {
                    readError = "cannot read " + path;
                    throw std::runtime_error(readError);
                }
                return;
            }
        }
    };
}

class FileDelivery {
public:
    FileDelivery(const BusOptions& bus, const FileBLOBRequest& request)
        : m_Bus(bus), m_Request(request), m_Name(request.Post ? "post" : "send") {}

    int Run() {
        std::string error;
        Outcome outcome;
        std::string trapped;
        // A whole file is read before the clock starts; a streamed one is read as it goes.
        auto start = std::chrono::steady_clock::now();
        int64_t bytes = 0;
        bool watched = false;
        if (m_Request.Stream) {
            const InputFile file = OpenInput(m_Request.Path, error);
            if (!file) {
                return Fail(error);
            }
            BusClient<BLOBStreamClient> client(m_Bus, m_Request.SourceID);
            ErrorTrap trap(client, m_Bus, m_Request.Target);
            TransferProgress progress(Label(), InputSize(file.get()));
            std::string readError;
            outcome = Deliver(client, m_Request,
                              FileWriter(file, m_Request.Path, progress, bytes, readError));
            progress.Finish();
            watched = progress.Enabled();
            if (!readError.empty()) {
                return Fail(readError);
            }
            trapped = trap.Describe();
        } else {
            Block block;
            if (!ReadBlock(m_Request.Path, block, error)) {
                return Fail(error);
            }
            bytes = block.Length();
            BusClient<BLOBClient> client(m_Bus, m_Request.SourceID);
            ErrorTrap trap(client, m_Bus, m_Request.Target);
            TransferProgress progress(Label(), bytes);
            start = std::chrono::steady_clock::now();
            if (progress.Enabled()) {
                // Connected first, so the watch has the socket the transfer will use.
                client.Connect();
                TransferWatch watch(client.SocketHandle(), progress);
                outcome = Deliver(client, m_Request, block);
            } else {
                outcome = Deliver(client, m_Request, block);
            }
            progress.Finish();
            watched = progress.Enabled();
            trapped = trap.Describe();
        }
        if (!outcome.Accepted) {
            return Fail(trapped);
        }
        if (watched) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::printf("%s %s in %s (%s)\n", m_Request.Post ? "posted" : "sent",
                        FormatBytes(bytes).c_str(), FormatSeconds(seconds).c_str(),
                        FormatRate(seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0)
                            .c_str());
        }
        return Report(outcome);
    }

private:
    std::string Label() const {
        const size_t slash = m_Request.Path.find_last_of('/');
        return std::string(m_Name) + " " +
               (slash == std::string::npos ? m_Request.Path : m_Request.Path.substr(slash + 1));
    }

    int Fail(const std::string& reason) const {
        std::fprintf(stderr, "tessary %s: %s\n", m_Name, reason.c_str());
        return 1;
    }

    int Report(const Outcome& outcome) const {
        if (!outcome.Reply.empty()) {
            std::printf("%s\n", outcome.Reply.c_str());
        }
        const Block& reply = outcome.ReplyBLOB;
        const auto length = static_cast<size_t>(reply.Length());
        if (!m_Request.ReplyBLOBPath.empty()) {
            std::string error;
            if (!WriteFile(m_Request.ReplyBLOBPath, reply.GetData(), length, error)) {
                // The target took the BLOB; only keeping its answer failed.
                return Fail(error);
            }
            std::printf("reply BLOB: %zu bytes saved to %s\n", length,
                        m_Request.ReplyBLOBPath.c_str());
        } else if (length > 0) {
            std::printf("reply BLOB: %zu bytes (--reply-blob PATH keeps it)\n", length);
        }
        return 0;
    }

    const BusOptions& m_Bus;
    const FileBLOBRequest& m_Request;
    const char* m_Name;
};

} // namespace

int DeliverFileBLOB(const BusOptions& bus, const FileBLOBRequest& request) {
    return FileDelivery(bus, request).Run();
}

} // namespace tool
