#include "tessary/foundation/AbstractServer.h"

#include "tessary/external/internal/LogCapture.h"
#include "testkit/Eventually.h"
#include "tests/support/RawFault.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

using ORVEX::Log::LogCapture;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A detached thread's task entry disappears when the thread has really ended.
bool ThreadGone(uint32_t tid) {
    return !std::filesystem::exists("/proc/self/task/" + std::to_string(tid));
}

// A server whose body the test chooses. The body gets the call number (from 1).
class TestServer : public AbstractServer {
public:
    using Body = std::function<int32_t(TestServer&, int call)>;

    TestServer(const char* name, Body body) : AbstractServer(name), m_Body(std::move(body)) {
        m_StopWaitLimit = 2;
    }
    ~TestServer() override { Stop(); }

    int32_t Run(uint64_t argument) override {
        m_Argument = argument;
        return m_Body(*this, ++m_Calls);
    }
    void OnExit() override { ++m_Exits; }

    // Waits for m_bWillStop as a well-behaved body does.
    int32_t UntilWillStop(int32_t result) {
        while (!m_bWillStop) {
            std::this_thread::sleep_for(5ms);
        }
        return result;
    }
    bool WillStopFlag() const { return m_bWillStop; }
    void SetArgument(uint64_t argument) { m_ThreadArgument = argument; }

    std::atomic<int> m_Calls{0};
    std::atomic<int> m_Exits{0};
    std::atomic<uint64_t> m_Argument{0};

private:
    Body m_Body;
};

// What a stubborn server shares with the test, so that the test can still read it once the
// server is destroyed.
struct Gate {
    void Wait() {
        m_Entered = true;
        m_Opened.wait();
    }

    std::promise<void> m_Open;
    std::shared_future<void> m_Opened = m_Open.get_future().share();
    std::atomic<bool> m_Entered{false};
    std::atomic<int> m_Runs{0};
};

// Ignores m_bWillStop: it waits on a gate the test owns, in Run, or (inHook) in the OnRestart
// after a Run that returns unasked. It copies the gate onto its own stack first, so it touches
// nothing of the server once it waits.
class StubbornServer : public AbstractServer {
public:
    StubbornServer(const char* name, std::shared_ptr<Gate> gate, bool inHook)
        : AbstractServer(name), m_Gate(std::move(gate)), m_InHook(inHook) {
        m_StopWaitLimit = 1;
    }
    ~StubbornServer() override { Stop(); }

    int32_t Run(uint64_t) override {
        std::shared_ptr<Gate> gate = m_Gate;
        ++gate->m_Runs;
        if (!m_InHook) {
            gate->Wait();
        }
        return 5;
    }
    bool OnRestart() override {
        std::shared_ptr<Gate> gate = m_Gate;
        gate->Wait();
        return false;
    }

private:
    std::shared_ptr<Gate> m_Gate;
    const bool m_InHook;
};

class AbstractServerTest : public ::testing::Test {
protected:
    LogCapture m_Log;
};

TEST_F(AbstractServerTest, StartRunsTheBodyAndStopEndsItWithEveryLine) {
    TestServer server("Alpha", [](TestServer& self, int) { return self.UntilWillStop(3); });
    server.SetArgument(0x1234567890ULL);
    ASSERT_TRUE(server.Start(4));
    EXPECT_EQ(server.GetStatus(), AbstractServer::StatusRunning);
    EXPECT_TRUE(server.IsStarted());
    ASSERT_TRUE(Eventually([&] { return server.m_Calls == 1; })) << "Run never called";
    EXPECT_TRUE(server.IsRunning());
    EXPECT_EQ(server.m_Argument, 0x1234567890ULL);
    // A second start fails and says when the first one was.
    const std::time_t started = static_cast<std::time_t>(server.GetStartTime());
    std::tm local{};
    localtime_r(&started, &local);
    char twice[128];
    std::snprintf(twice, sizeof twice,
                  "Enter Alpha::Start, it has been started at %d-%d-%d, %d:%d:%d.",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
    EXPECT_FALSE(server.Start(4));
    EXPECT_TRUE(m_Log.Has(twice)) << twice;
    EXPECT_EQ(m_Log.Count("---->  Server <Alpha> started successful"), 1);

    EXPECT_TRUE(server.Stop());
    EXPECT_EQ(server.GetStatus(), AbstractServer::StatusStopped);
    EXPECT_FALSE(server.IsStarted());
    EXPECT_FALSE(server.IsRunning());
    EXPECT_EQ(server.m_Exits, 1);
    EXPECT_EQ(server.m_Calls, 1);
    EXPECT_NE(server.GetStopTime(), 0);
    for (const char* line :
         {"Enter [Alpha]::Stop", "Leave [Alpha]::WillStop, m_bWillStop is setted to true",
          "Leave Server : Alpha, m_bWillStop : 1", "Server : Alpha Stopped. rc : 3",
          "[Alpha] stopped successful"}) {
        EXPECT_TRUE(m_Log.Has(line)) << line;
    }

    // A stopped server starts again, with m_bWillStop cleared.
    ASSERT_TRUE(server.Start(4));
    ASSERT_TRUE(Eventually([&] { return server.m_Calls == 2; }));
    EXPECT_FALSE(server.WillStopFlag());
    EXPECT_TRUE(server.Restart());
    ASSERT_TRUE(Eventually([&] { return server.m_Calls == 3; }));
    EXPECT_EQ(server.m_Exits, 2);
    EXPECT_TRUE(server.Terminate());
    EXPECT_EQ(server.m_Exits, 3);
}

TEST_F(AbstractServerTest, BodyThatReturnsUnaskedIsCalledAgainAfterTwoSeconds) {
    TestServer server("Bouncy", [](TestServer&, int) { return 7; });
    const auto started = Clock::now();
    ASSERT_TRUE(server.Start(4));
    ASSERT_TRUE(Eventually([&] { return server.m_Calls >= 2; }, 5000ms)) << "no restart";
    const auto gap = Clock::now() - started;
    EXPECT_GE(gap, 1500ms);
    EXPECT_LE(gap, 4000ms);
    EXPECT_GE(m_Log.Count("Server : Bouncy get an unexpected exit! Restart it after 2 seconds."),
              1);
    EXPECT_TRUE(m_Log.Has("Leave Server : Bouncy, m_bWillStop : 0"));
    EXPECT_EQ(server.m_Exits, 0);
    EXPECT_TRUE(server.IsRunning());
    // A stop that comes during the pause does not wait it out.
    const auto begin = Clock::now();
    EXPECT_TRUE(server.Stop());
    EXPECT_LT(Clock::now() - begin, 1000ms);
    EXPECT_TRUE(m_Log.Has("Server : Bouncy Stopped. rc : 7"));
    EXPECT_EQ(server.m_Exits, 1);
}

TEST_F(AbstractServerTest, StopGivesUpOnAThreadThatIgnoresTheRequest) {
    for (const bool inHook : {false, true}) {
        const char* name = inHook ? "Hook" : "Mule";
        SCOPED_TRACE(name);
        const auto line = [&](const char* before, const char* after) {
            return std::string(before) + name + after;
        };
        auto gate = std::make_shared<Gate>();
        auto server = std::make_unique<StubbornServer>(name, gate, inHook);
        ASSERT_TRUE(server->Start(4));
        ASSERT_TRUE(Eventually([&] { return gate->m_Entered.load(); }));
        const uint32_t tid = server->GetThreadID();

        const auto begin = Clock::now();
        EXPECT_TRUE(server->Stop());
        const auto took = Clock::now() - begin;
        EXPECT_GE(took, 1000ms);
        EXPECT_LT(took, 2500ms);
        EXPECT_TRUE(m_Log.Has(line("Waiting for the ", " daemon to quit, too long, force quit now!")));
        EXPECT_TRUE(m_Log.Has(line("Waiting for the ", " daemon to quit (m_bWillStop : 1)......")));
        EXPECT_TRUE(m_Log.Has(line("[", "] stopped successful")));
        EXPECT_EQ(server->GetStatus(), AbstractServer::StatusStopped);
        EXPECT_FALSE(server->IsStarted());
        EXPECT_FALSE(ThreadGone(tid)) << "the thread must not be killed";

        // The late thread must finish without touching the destroyed server (the sanitizers
        // watch), and without another Run.
        server.reset();
        gate->m_Open.set_value();
        EXPECT_TRUE(m_Log.WaitFor(line("Server : ", " Stopped. rc : 5")));
        EXPECT_TRUE(Eventually([&] { return ThreadGone(tid); })) << "late thread did not end";
        EXPECT_FALSE(m_Log.Has(line("Leave Server : ", ", m_bWillStop : 1")));
        EXPECT_EQ(gate->m_Runs, 1);
    }
}

TEST_F(AbstractServerTest, StopFromInsideRunEndsTheThreadWithoutAnotherRun) {
    TestServer server("Self", [](TestServer& self, int) {
        self.Stop();
        return 9;
    });
    ASSERT_TRUE(server.Start(4));
    const uint32_t tid = server.GetThreadID();
    ASSERT_TRUE(m_Log.WaitFor("[Self] Stopped."));
    ASSERT_TRUE(Eventually([&] { return ThreadGone(tid); })) << "thread did not end";
    EXPECT_TRUE(m_Log.Has("[Self]::Stop will execute in the same thread !!!"));
    EXPECT_EQ(server.m_Calls, 1);
    EXPECT_EQ(server.m_Exits, 1);
    EXPECT_EQ(server.GetStatus(), AbstractServer::StatusStopped);
    EXPECT_FALSE(server.IsStarted());
    EXPECT_FALSE(server.IsRunning());
    EXPECT_FALSE(m_Log.HasFragment("Leave Server : Self"));
    EXPECT_FALSE(m_Log.HasFragment("Enter [Self]::Stop"));
    // Nothing left to stop, and the server can start again.
    EXPECT_TRUE(server.Stop());
    EXPECT_FALSE(m_Log.HasFragment("Enter [Self]::Stop"));
}

// The kinds of fault the guard takes are its own table's; here a fault on the server's thread.
TEST_F(AbstractServerTest, ACrashInRunEndsTheThreadAndALaterStopCompletes) {
    TestServer server("Faulter", [](TestServer&, int) {
        DereferenceNull();
        return 0;
    });
    ASSERT_TRUE(server.Start(4));
    const uint32_t tid = server.GetThreadID();
    ASSERT_TRUE(m_Log.WaitFor("Exception at Server Faulter::Run."));
    ASSERT_TRUE(Eventually([&] { return ThreadGone(tid); }));
    EXPECT_TRUE(m_Log.HasFragment("exception_access_violation"));
    EXPECT_EQ(server.m_Calls, 1) << "no restart after a crash";
    EXPECT_TRUE(server.IsStarted());
    EXPECT_EQ(server.m_Exits, 0);
    const auto begin = Clock::now();
    EXPECT_TRUE(server.Stop());
    EXPECT_LT(Clock::now() - begin, 1000ms);
    EXPECT_FALSE(server.IsStarted());
    EXPECT_TRUE(m_Log.Has("[Faulter] stopped successful"));
}

TEST_F(AbstractServerTest, PriorityLevelsReachTheThread) {
    TestServer server("Nice", [](TestServer& self, int) { return self.UntilWillStop(0); });
    // Levels are steps from the process's own nice, so a niced process (this one, from here
    // on) needs no privilege for its normal threads. Lowering needs none either, so the steps
    // are checked on the thread itself.
    errno = 0;
    const int niced = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid())) + 3;
    ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(getpid()), niced), 0);
    const auto threadNice = [&] {
        return getpriority(PRIO_PROCESS, static_cast<id_t>(server.GetThreadID()));
    };
    ASSERT_TRUE(server.Start(4));
    EXPECT_TRUE(m_Log.WaitFor("Nice running at priority 0"));
    EXPECT_EQ(threadNice(), niced);
    server.SetPriority(2);
    EXPECT_EQ(threadNice(), std::min(niced + 10, 19));
    server.SetPriority(0);
    EXPECT_EQ(threadNice(), 19);
    EXPECT_FALSE(m_Log.HasFragment("Cannot set thread priority"));
}

} // namespace
