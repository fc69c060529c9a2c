#include "tessary/setup/Version.h"

#include "tests/support/SetupFixture.h"

#include "tessary/client/Client.h"
#include "tessary/external/internal/LogCapture.h"
#include "tessary/setup/internal/FileVersionInfo.h"

#include <regex>
#include <string>
#include <vector>

using ORVEX::Log::Level;
using ORVEX::Log::LogCapture;
using ORVEX::Tessary::Controller::Client;

namespace {

// The compiler's __DATE__ and __TIME__: "Sep 17 2019" (a day below 10 padded with a blank)
// and "09:40:24".
const std::string kDate = R"([A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4})";
const std::string kTime = R"([0-2][0-9]:[0-5][0-9]:[0-6][0-9])";

TEST(VersionTest, VersionStringCarriesTheBuildStamp) {
    const std::string text = TessaryGetVersionString();
    EXPECT_TRUE(
        std::regex_match(text, std::regex("Tessary\\.Client\r\n" + kDate + " " + kTime + "\r\n")))
        << text;
    EXPECT_EQ(TessaryGetVersion(), 393217);
}

TEST(VersionTest, LogToBUSWritesOneDebugLineAsPrintfFormatsIt) {
    LogCapture capture;
    LogToBUS("%s=%05d|%-4s|%.2f|%x", "value", 42, "ab", 3.14159, 255);
    ASSERT_EQ(capture.Texts(), std::vector<std::string>{"value=00042|ab  |3.14|ff"});
    EXPECT_EQ(capture.Lines()[0].level, Level::Debug);
}

class SetLogFileNameTest : public SetupFixture {};

TEST_F(SetLogFileNameTest, NamesTheLogAndWritesTheBanner) {
    const std::string logFile = (dir / "client.log").string();
    LogCapture capture;
    Client::SetLogFileName(logFile.c_str());
    EXPECT_EQ(ORVEX::Log::LogFilePath(), logFile);

    const std::vector<std::string> texts = capture.Texts();
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[0], "");
    EXPECT_EQ(texts[1], "BUS.Client Version : " + std::to_string(TESSARY_VERSION_MAJOR) + "." +
                            std::to_string(TESSARY_VERSION_MINOR) + "." +
                            std::to_string(TESSARY_VERSION_PATCH) + "." +
                            std::to_string(TESSARY_VERSION_BUILD));
    EXPECT_EQ(texts[2], "");
    EXPECT_TRUE(std::regex_match(
        texts[3], std::regex("BUSClient Build @ " + kDate + ", " + kTime + "      \\(64-bit\\)")))
        << texts[3];
    EXPECT_EQ(texts[4], "");
    EXPECT_EQ(capture.Lines()[3].level, Level::Info);
    // The version line is left out when the file cannot be read.
    EXPECT_FALSE(CFileVersionInfo().Create((dir / "missing.so").c_str()));
}

} // namespace
