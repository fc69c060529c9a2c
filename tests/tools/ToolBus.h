#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/EmbeddedBus.h"
#include "tests/support/LoopbackPeer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
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
        for (const std::string& flag :
             {std::string("--command-port"), std::to_string(m_Bus->CommandPort()),
              std::string("--status-port"), std::to_string(m_Bus->StatusPort()),
              std::string("--servers"), std::to_string(BusCount)}) {
            arguments.push_back(flag);
        }
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

// A directory of its own for one test's files, removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = ::testing::TempDir() + "tessary-tool-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            m_Path = pattern;
        }
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
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size()) << path;
    std::fclose(file);
}

// The whole file; empty when it cannot be read.
inline std::string ReadBytes(const std::string& path) {
    std::string bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return bytes;
    }
    char buffer[65536];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, n);
    }
    std::fclose(file);
    return bytes;
}
