#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/EmbeddedBus.h"
#include "tests/support/LoopbackPeer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
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

// A multi-MiB BLOB under ThreadSanitizer on a loaded machine takes seconds to arrive.
inline constexpr std::chrono::milliseconds FileBound{15000};

inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A directory of its own for one test's files, removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir() : m_Path(::testing::TempDir() + "tessary-tool-XXXXXX") {
        EXPECT_NE(mkdtemp(m_Path.data()), nullptr);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_Path, ignored);
    }
    const std::string& Path() const { return m_Path; }
    std::string File(const std::string& name) const { return m_Path + "/" + name; }

private:
    std::string m_Path;
};

// size bytes of the codec's position-dependent pattern as text, for files and BLOBs.
inline std::string PatternText(size_t size, uint32_t seed) {
    const Bytes bytes = PatternBytes(size, seed);
    return std::string(bytes.begin(), bytes.end());
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// The whole file; empty when it cannot be read.
inline std::string ReadBytes(const std::string& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}
