#pragma once

#include "tests/support/ChildProcess.h"
#include "testkit/EmbeddedBus.h"
#include "tests/support/Files.h"
#include "tests/support/LoopbackPeer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// The bus of one test: in-process bus servers on free ports; the tool reaches them through
// its common flags.
class ToolTest : public ::testing::Test {
protected:
    static constexpr int BusCount = 2;

    void SetUp() override {
        m_Bus = StartBus(BusOptions(BusCount));
        ASSERT_TRUE(m_Bus);
    }

    std::vector<std::string> With(std::vector<std::string> arguments) const {
        arguments.insert(arguments.end(),
                         {"--command-port", std::to_string(m_Bus->CommandPort()), "--status-port",
                          std::to_string(m_Bus->StatusPort()), "--servers",
                          std::to_string(BusCount)});
        return arguments;
    }

    std::unique_ptr<busd::BusServer> m_Bus;
};

// The tessary program as a child process.
class ToolProcess : public ChildProcess {
public:
    explicit ToolProcess(const std::vector<std::string>& arguments)
        : ChildProcess(WithProgram(arguments)) {}

private:
    static std::vector<std::string> WithProgram(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{TESSARY_TOOL_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }
};

inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// size bytes of the testkit's byte pattern as text, for files and BLOBs.
inline std::string PatternText(size_t size, uint32_t seed) {
    const Bytes bytes = PatternBytes(size, seed);
    return std::string(bytes.begin(), bytes.end());
}
