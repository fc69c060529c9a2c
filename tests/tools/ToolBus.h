#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/EmbeddedBus.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

// A port nobody listens on: bound, read back and closed again.
inline int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

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

// Bytes that differ from their neighbours, so a lost, doubled or shifted chunk shows.
inline std::string PatternBytes(size_t n, unsigned seed) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>(((i + seed) * 0x9E3779B97F4A7C15ull) >> 56);
    }
    return bytes;
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
