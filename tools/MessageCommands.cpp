#include "tools/MessageCommands.h"

#include "tools/BusClients.h"
#include "tools/ErrorTrap.h"
#include "tools/FileBLOB.h"

#include "tessary/client/MessageClient.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

namespace tool {

namespace {

using ORVEX::Tessary::Controller::MessageClient;

enum class Kind { Send, Post, Forward };

const char* Name(Kind kind) {
    switch (kind) {
    case Kind::Send:
        return "send";
    case Kind::Post:
        return "post";
    case Kind::Forward:
        return "forward";
    }
    return "";
}

const char* Description(Kind kind) {
    switch (kind) {
    case Kind::Send:
        return "Send a message (or a file as a BLOB) and wait for the target's acknowledgement; "
               "prints the reply text";
    case Kind::Post:
        return "Post a message (or a file as a BLOB): done once the bus server accepted it";
    case Kind::Forward:
        return "Forward a message (a post with the Forward flag)";
    }
    return "";
}

// What a message operation gives back besides its result.
struct Outcome {
    bool Accepted = false;
    std::string Reply;
};

class MessageCommand : public Command {
public:
    MessageCommand(CLI::App& parent, Kind kind)
        : Command(parent.add_subcommand(Name(kind), Description(kind))), m_Kind(kind) {
        m_App->add_option("TARGET", m_Target, "Source id of the receiver")->required();
        m_App->add_option("COMMAND", m_CommandCode, "Command code (a number)")->required();
        m_App->add_option("TEXT", m_Text, "Message text (UTF-8; empty when left out)");
        m_App->add_flag("--wide", m_Wide, "Send the text as 16-bit (UTF-16) characters");
        m_App->add_option("--source", m_SourceID, "This sender's source id")->capture_default_str();
        if (kind == Kind::Send) {
            m_App
                ->add_option("--timeout", m_TimeOutMs,
                             "Milliseconds to wait for the acknowledgement")
                ->capture_default_str()
                ->check(CLI::Range(1, 86400000));
        }
        if (kind != Kind::Forward) {
            CLI::Option* file =
                m_App->add_option("--file", m_File, "Send this file as a BLOB with the message");
            m_App->add_flag("--stream", m_Stream,
                            "Stream the file in chunks as it is read (any size; never whole in "
                            "memory)")
                ->needs(file);
            if (kind == Kind::Send) {
                m_App->add_option("--reply-blob", m_ReplyBLOB,
                                  "Save the target's reply BLOB to this file")
                    ->needs(file);
            }
        }
        AddBusOptions(*m_App, m_Bus);
    }

    int Run() override {
        PrepareLibrary(m_Bus);
        if (!m_File.empty()) {
            FileBLOBRequest request;
            request.Post = m_Kind == Kind::Post;
            request.Target = m_Target;
            request.Command = m_CommandCode;
            request.Text = m_Text;
            request.Wide = m_Wide;
            request.SourceID = m_SourceID;
            request.TimeOutMs = m_TimeOutMs;
            request.Path = m_File;
            request.Stream = m_Stream;
            request.ReplyBLOBPath = m_ReplyBLOB;
            return DeliverFileBLOB(m_Bus, request);
        }
        BusClient<MessageClient> client(m_Bus, m_SourceID);
        ErrorTrap trap(client, m_Bus, m_Target);
        const Outcome outcome = Deliver(client);
        if (!outcome.Accepted) {
            std::fprintf(stderr, "tessary %s: %s\n", Name(m_Kind), trap.Describe().c_str());
            return 1;
        }
        if (!outcome.Reply.empty()) {
            std::printf("%s\n", outcome.Reply.c_str());
        }
        return 0;
    }

private:
    Outcome Deliver(MessageClient& client) const {
        if (m_Wide) {
            return DeliverText(client, WString(m_Text.c_str()));
        }
        return DeliverText(client, DString(m_Text));
    }

    // S is DString or WString: the string type picks the 8-bit or the 16-bit overloads.
    template <typename S> Outcome DeliverText(MessageClient& client, const S& text) const {
        Outcome outcome;
        const char* target = m_Target.c_str();
        S reply;
        switch (m_Kind) {
        case Kind::Post:
            outcome.Accepted = client.Post(target, m_CommandCode, text);
            break;
        case Kind::Forward:
            outcome.Accepted = client.Forward(target, m_CommandCode, text);
            break;
        case Kind::Send:
            outcome.Accepted = client.Send(target, m_CommandCode, text, reply, m_TimeOutMs);
            break;
        }
        if constexpr (std::is_same_v<S, WString>) {
            outcome.Reply = reply.ToDString().str();
        } else {
            outcome.Reply = reply.str();
        }
        return outcome;
    }

    Kind m_Kind;
    BusOptions m_Bus;
    std::string m_Target;
    unsigned long m_CommandCode = 0;
    std::string m_Text;
    bool m_Wide = false;
    std::string m_SourceID = "tessary-cli";
    int m_TimeOutMs = 60000;
    std::string m_File;
    bool m_Stream = false;
    std::string m_ReplyBLOB;
};

} // namespace

std::unique_ptr<Command> MakeSendCommand(CLI::App& parent) {
    return std::make_unique<MessageCommand>(parent, Kind::Send);
}

std::unique_ptr<Command> MakePostCommand(CLI::App& parent) {
    return std::make_unique<MessageCommand>(parent, Kind::Post);
}

std::unique_ptr<Command> MakeForwardCommand(CLI::App& parent) {
    return std::make_unique<MessageCommand>(parent, Kind::Forward);
}

} // namespace tool
