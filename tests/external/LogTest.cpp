#include "tessary/external/Log.h"
#include "tessary/external/internal/LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using ORVEX::Log::_XDWLog;
using ORVEX::Log::Level;
using ORVEX::Log::LogCapture;

TEST(LogTest, FunctionsWriteFormattedLinesAtTheirLevels) {
    LogCapture capture;
    _debug("Enter %s", "Send");
    _tinfo("<-A-- %d", 7);
    _warning("retry %d", 2);
    _error("failed");
    _fatal("gone");
    _syserror(2, "open");
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0].level, Level::Debug);
    EXPECT_EQ(lines[0].text, "Enter Send");
    EXPECT_EQ(lines[1].level, Level::Traffic);
    EXPECT_EQ(lines[1].text, "<-A-- 7");
    EXPECT_EQ(lines[2].level, Level::Warning);
    EXPECT_EQ(lines[3].level, Level::Error);
    EXPECT_EQ(lines[4].level, Level::Fatal);
    EXPECT_EQ(lines[5].text.rfind("open : ", 0), 0u);
}

TEST(LogTest, BuilderMapsSeveritiesAndBraces) {
    LogCapture capture;
    {
        _XDWLog log;
        log.SetSeverity(3);
        log.Brace(4) << "Leave BaseReceiver.BUSSetting due to " << DString("x") << ' ' << 5;
    }
    { _XDWLog(4).Brace("WS#1") << "retrying"; }
    { _XDWLog(7) << "is connecting to "; }
    { _XDWLog().NewLine(); }
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, "[4]Leave BaseReceiver.BUSSetting due to x 5");
    EXPECT_EQ(lines[0].level, Level::Error);
    EXPECT_EQ(lines[1].text, "[WS#1]retrying");
    EXPECT_EQ(lines[1].level, Level::Warning);
    EXPECT_EQ(lines[2].level, Level::Debug);
    EXPECT_EQ(lines[3].text, "");
    EXPECT_EQ(lines[3].level, Level::Traffic);
}

TEST(LogTest, BuilderLinesFromManyThreadsComeOutWhole) {
    LogCapture capture;
    constexpr int threads = 8;
    constexpr int perThread = 200;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i) {
                _XDWLog log;
                log.Brace(t) << "piece-a " << i << ' ' << "piece-b " << DString("end");
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    const auto texts = capture.Texts();
    ASSERT_EQ(texts.size(), static_cast<size_t>(threads * perThread));
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < perThread; i += 37) {
            const std::string expected =
                "[" + std::to_string(t) + "]piece-a " + std::to_string(i) + " piece-b end";
            EXPECT_EQ(capture.Count(expected), 1) << expected;
        }
    }
}

TEST(LogTest, NothingIsFormattedBelowTheLevelWithoutCapture) {
    // With no capture and default settings, debug and traffic are off.
    EXPECT_FALSE(ORVEX::Log::IsEnabled(Level::Debug));
    EXPECT_TRUE(ORVEX::Log::IsEnabled(Level::Error));
    {
        LogCapture capture;
        EXPECT_TRUE(ORVEX::Log::IsEnabled(Level::Traffic));
    }
    EXPECT_FALSE(ORVEX::Log::IsEnabled(Level::Traffic));
}
