#include "tessary/setup/internal/LibrarySetup.h"

#include "tests/support/SetupFixture.h"

#include "tessary/client/Client.h"
#include "tessary/external/internal/LogCapture.h"
#include "tessary/protocol/internal/Command2String.h"
#include "tessary/receiver/BaseReceiver.h"
#include "tessary/setup/internal/Configuration.h"

#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using ORVEX::Log::Level;
using ORVEX::Log::LogCapture;
using ORVEX::Tessary::Controller::BaseReceiver;
using ORVEX::Tessary::Controller::Client;

namespace {

const std::string kRegistryError = "RegOpenKeyEx failed : No such file or directory (2)";

// The directory the setup code must find on its own, with its trailing separator.
std::string ExecutableDirectory() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/";
}

// The level of the first line whose text is exact; Traffic, the lowest, stands for none.
Level LevelOf(const LogCapture& capture, const std::string& exact) {
    for (const auto& line : capture.Lines()) {
        if (line.text == exact) {
            return line.level;
        }
    }
    return Level::Traffic;
}

std::string ConfigurationBlock(const std::string& systemPath, int commandPort, int statusPort,
                               int nbOfBUSServer) {
    return "\nSystemPath     : [" + systemPath + "]\nConfigFileName : [" + systemPath +
           "BUSServer.Manager.INI]\nCommandPort    : [" + std::to_string(commandPort) +
           "]\nStatusPort     : [" + std::to_string(statusPort) + "]\nNbOfBUSServer  : [" +
           std::to_string(nbOfBUSServer) + "]";
}

class LibrarySetupTest : public SetupFixture {
protected:
    void TearDown() override {
        Configuration::SetDefaults(Configuration::DefaultCommandPort,
                                   Configuration::DefaultStatusPort,
                                   Configuration::DefaultNbOfBUSServer);
        Command2String::Clear();
        SetupFixture::TearDown();
    }
};

TEST_F(LibrarySetupTest, WithNothingConfiguredTheDefaultsAndTheExecutablesDirectoryApply) {
    LogCapture capture;
    LibrarySetup::SystemInit();
    // The settings themselves are read from the block the setup logs last.
    EXPECT_EQ(Configuration::SystemPath(), ExecutableDirectory().c_str());
    EXPECT_EQ(Configuration::InitialisingThread(), static_cast<uint32_t>(gettid()));

    const auto lines = capture.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().text, "Enter BUSClient.SystemInit");
    // Unset is the ordinary case on this platform: the line is kept, at debug level.
    EXPECT_EQ(LevelOf(capture, kRegistryError), Level::Debug);
    EXPECT_EQ(lines.back().text, ConfigurationBlock(ExecutableDirectory(), 6630, 6631, 4));
    EXPECT_EQ(lines.back().level, Level::Info);
}

TEST_F(LibrarySetupTest, TheSystemPathComesFromTheEnvironmentWithTheIniAndNamesThere) {
    Write("BUSServer.Manager.INI", "[BUSServer]\nCommandPort=abc\nStatusPort=7101\n");
    Write("BUSCommand2String.JSON", R"({"Command2String": [{"Command": 77, "String": "Seven"}]})");
    const std::string path = dir.string() + "/";
    setenv("TESSARY_SYSTEM_PATH", dir.c_str(), 1);
    LogCapture capture;
    LibrarySetup::SystemInit();
    EXPECT_EQ(Configuration::SystemPath(), path.c_str());
    EXPECT_EQ(Command2String::Lookup(77), "Seven");
    EXPECT_FALSE(capture.Has(kRegistryError));
    EXPECT_TRUE(capture.Has(ConfigurationBlock(path, 0, 7101, 4)));
}

TEST_F(LibrarySetupTest, TheSystemPathEndsInASeparatorAndABadValueCountsAsNone) {
    struct Case {
        std::string Value;
        std::string Expected;
        const char* Error; // logged at error level; nullptr: no registry line at all
    };
    const std::string fits(255, 'p');
    const Case cases[] = {
        {"/opt/tessary", "/opt/tessary/", nullptr},
        {"/opt/tessary/", "/opt/tessary/", nullptr},
        {"C:\\Tessary\\", "C:\\Tessary\\", nullptr},
        {fits, fits + "/", nullptr},
        // One that fills the registry's buffer, or an empty one.
        {fits + "p", ExecutableDirectory(), "RegOpenKeyEx failed : File name too long (36)"},
        {"", ExecutableDirectory(), kRegistryError.c_str()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Value);
        setenv("TESSARY_SYSTEM_PATH", c.Value.c_str(), 1);
        LogCapture capture;
        EXPECT_EQ(LibrarySetup::GetSystemPath(), c.Expected.c_str());
        if (c.Error) {
            EXPECT_EQ(LevelOf(capture, c.Error), Level::Error);
        } else {
            EXPECT_FALSE(capture.HasFragment("RegOpenKeyEx"));
        }
    }
}

// That the names go at exit is the prepare case's.
TEST_F(LibrarySetupTest, SystemExitTellsAboutAnotherThread) {
    LibrarySetup::SystemInit();
    LogCapture capture;
    std::thread([] { LibrarySetup::SystemExit(); }).join();
    EXPECT_EQ(capture.Texts(),
              (std::vector<std::string>{"Enter BUSClient.SystemExit",
                                        "!!! Leave BUSClient.SystemExit, different ThreadID !!!"}));

    capture.Clear();
    LibrarySetup::SystemExit();
    EXPECT_FALSE(capture.HasFragment("different ThreadID"));
}

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

// Threads preparing at once initialise once; after Quit, nothing is initialised again.
TEST_F(PrepareTest, RunsOnceAndNotAgainAfterQuit) {
    Write("BUSCommand2String.JSON", R"({"Command2String": [{"Command": 300, "String": "Ping"}]})");
    setenv("TESSARY_SYSTEM_PATH", dir.c_str(), 1);
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([] { Client::Prepare(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(capture.Count(kSystemInitLine), 1);
    EXPECT_EQ(Client::Command2String(300), "Ping");

    Client::Quit();
    EXPECT_TRUE(capture.Has("Enter BUSClient.SystemExit"));
    EXPECT_EQ(Client::Command2String(300), "");

    Client::Prepare();
    EXPECT_EQ(capture.Count(kSystemInitLine), 1);
    EXPECT_TRUE(Client::bInited);
    EXPECT_EQ(Client::Command2String(300), "");
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
    const std::string tooSmall = "SetDefTimeOut, msTimeOut may be too small : 500";
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"Leave SetDefTimeOut, to 500", tooSmall}));
    EXPECT_EQ(LevelOf(capture, tooSmall), Level::Warning);

    capture.Clear();
    EXPECT_EQ(Client::SetDefTimeOut(1000), 500);
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"Leave SetDefTimeOut, to 1000"});

    capture.Clear();
    EXPECT_EQ(Client::SetDefTimeOut(-1), 1000);
    EXPECT_EQ(BaseReceiver::gDefMSTimeOut, -1);
    EXPECT_TRUE(capture.Has("SetDefTimeOut, msTimeOut may be too small : -1"));
}

} // namespace
