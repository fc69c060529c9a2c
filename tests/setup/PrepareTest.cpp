#include "SetupTestSupport.h"

#include "tessary/client/Client.h"
#include "tessary/external/internal/LogCapture.h"
#include "tessary/receiver/BaseReceiver.h"

#include <string>
#include <thread>
#include <vector>

using ORVEX::Log::Level;
using ORVEX::Log::LogCapture;
using ORVEX::Tessary::Controller::BaseReceiver;
using ORVEX::Tessary::Controller::Client;

namespace {

const std::string kSystemInitLine = "Enter BUSClient.SystemInit";

// Initialisation happens once per process. CTest runs every test in a process of its own; a
// run of the whole binary in one process skips what needs a fresh one.
class PrepareTest : public SetupFixture {
protected:
    void SetUp() override {
        SetupFixture::SetUp();
        if (Client::bInited) {
            GTEST_SKIP() << "the library was initialised earlier in this process";
        }
    }
};

TEST_F(PrepareTest, RunsOnceAndNotAgainAfterQuit) {
    Write("BUSCommand2String.JSON", R"({"Command2String": [{"Command": 300, "String": "Ping"}]})");
    setenv("TESSARY_SYSTEM_PATH", dir.c_str(), 1);
    LogCapture capture;
    Client::Prepare();
    Client::Prepare();
    EXPECT_EQ(capture.Count(kSystemInitLine), 1);
    EXPECT_EQ(Client::Command2String(300), "Ping");

    Client::Quit();
    EXPECT_TRUE(capture.Has("Enter BUSClient.SystemExit"));
    EXPECT_FALSE(capture.HasFragment("different ThreadID"));
    EXPECT_EQ(Client::Command2String(300), "");

    Client::Prepare();
    EXPECT_EQ(capture.Count(kSystemInitLine), 1);
    EXPECT_TRUE(Client::bInited);
    EXPECT_EQ(Client::Command2String(300), "");
}

TEST_F(PrepareTest, ThreadsPreparingAtOnceInitialiseOnce) {
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([] { Client::Prepare(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(capture.Count(kSystemInitLine), 1);
    EXPECT_TRUE(Client::bInited);
}

class SetDefTimeOutTest : public ::testing::Test {
protected:
    void SetUp() override { m_Saved = Client::gDefMSTimeOut; }
    void TearDown() override {
        Client::gDefMSTimeOut = m_Saved;
        BaseReceiver::gDefMSTimeOut = m_Saved;
    }

private:
    int m_Saved = 0;
};

TEST_F(SetDefTimeOutTest, SetsBothDefaultsAndWarnsBelowOneSecond) {
    // A minute for both until a program says otherwise.
    EXPECT_EQ(BaseReceiver::gDefMSTimeOut, 60000);
    LogCapture capture;
    EXPECT_EQ(Client::SetDefTimeOut(500), 60000);
    EXPECT_EQ(Client::gDefMSTimeOut, 500);
    EXPECT_EQ(BaseReceiver::gDefMSTimeOut, 500);
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "Leave SetDefTimeOut, to 500");
    EXPECT_EQ(lines[1].text, "SetDefTimeOut, msTimeOut may be too small : 500");
    EXPECT_EQ(lines[1].level, Level::Warning);

    capture.Clear();
    EXPECT_EQ(Client::SetDefTimeOut(1000), 500);
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"Leave SetDefTimeOut, to 1000"});

    capture.Clear();
    EXPECT_EQ(Client::SetDefTimeOut(-1), 1000);
    EXPECT_EQ(BaseReceiver::gDefMSTimeOut, -1);
    EXPECT_TRUE(capture.Has("SetDefTimeOut, msTimeOut may be too small : -1"));
}

} // namespace
