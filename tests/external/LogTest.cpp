#include "tessary/external/Log.h"
#include "tessary/external/internal/LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

using ORVEX::Log::_XDWLog;
using ORVEX::Log::Level;
using ORVEX::Log::LogCapture;

// The builder's severities are the numbers the original callers pass: 3 error, 4 warning, 7
// debug, none traffic.
TEST(LogTest, FunctionsAndTheBuilderWriteFormattedLinesAtTheirLevels) {
    LogCapture capture;
    _debug("Enter %s", "Send");
    _tinfo("<-A-- %d", 7);
    _warning("retry %d", 2);
    _error("failed");
    _fatal("gone");
    {
        _XDWLog log;
        log.SetSeverity(3);
        log.Brace(4) << "Leave BaseReceiver.BUSSetting due to " << DString("x") << ' ' << 5;
    }
    { _XDWLog(4).Brace("WS#1") << "retrying"; }
    { _XDWLog(7) << "is connecting to "; }
    { _XDWLog().NewLine(); }
    _syserror(2, "open");
    const std::vector<std::pair<Level, std::string>> expected = {
        {Level::Debug, "Enter Send"},
        {Level::Traffic, "<-A-- 7"},
        {Level::Warning, "retry 2"},
        {Level::Error, "failed"},
        {Level::Fatal, "gone"},
        {Level::Error, "[4]Leave BaseReceiver.BUSSetting due to x 5"},
        {Level::Warning, "[WS#1]retrying"},
        {Level::Debug, "is connecting to "},
        {Level::Traffic, ""}};
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::make_pair(lines[i].level, lines[i].text), expected[i]) << i;
    }
    EXPECT_EQ(lines.back().text.rfind("open : ", 0), 0u);
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
