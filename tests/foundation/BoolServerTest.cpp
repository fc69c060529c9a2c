#include "tessary/foundation/BoolServer.h"

#include "tessary/external/LogCapture.h"

#include <gtest/gtest.h>

using ORVEX::Log::LogCapture;

namespace {

class BoolServerTest : public ::testing::Test {
protected:
    LogCapture m_Log;
    BoolServer m_Server{"Group"};
};

TEST_F(BoolServerTest, StartRecordsRunningWithoutAThreadAndStopKeepsTheFlag) {
    EXPECT_TRUE(m_Server.Start(9));
    EXPECT_TRUE(m_Log.Has("---->  Group started successful"));
    EXPECT_EQ(m_Server.GetStatus(), AbstractServer::StatusRunning);
    EXPECT_TRUE(m_Server.IsRunning());
    EXPECT_FALSE(m_Server.IsStarted());
    EXPECT_EQ(m_Server.GetThreadID(), 0u);
    EXPECT_EQ(m_Server.GetPriorityLevel(), 4u) << "the start level is ignored";

    // No thread: the will-stop step finds nothing to stop and leaves the flag clear.
    EXPECT_FALSE(m_Server.WillStop());
    EXPECT_TRUE(m_Log.Has("Enter [Group]::WillStop, not running"));

    EXPECT_TRUE(m_Server.Stop());
    EXPECT_EQ(m_Server.GetStatus(), AbstractServer::StatusStopped);
    EXPECT_TRUE(m_Server.IsRunning());
    EXPECT_FALSE(m_Log.HasFragment("Enter [Group]::Stop"));
    EXPECT_EQ(m_Server.StatusText().str(),
              "-------->  Group  <--------\nStopped\r\nPriority : 4\r\nStatus : 2"
              "\r\nThreadID : 0x0 (0)");
}

TEST_F(BoolServerTest, PauseResumeAndPriorityOnlyRecord) {
    EXPECT_TRUE(m_Server.Pause());
    EXPECT_TRUE(m_Server.Resume());
    EXPECT_EQ(m_Server.GetStatus(), AbstractServer::StatusStopped);
    m_Server.SetPriority(7);
    EXPECT_EQ(m_Server.GetPriorityLevel(), 7u);
    m_Server.SetPriority(8);
    EXPECT_EQ(m_Server.GetPriorityLevel(), 7u);
    EXPECT_EQ(m_Server.Run(0), 0);
}

} // namespace
