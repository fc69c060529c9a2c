#include "tessary/setup/Version.h"

#include "SetupTestSupport.h"

#include "tessary/client/Client.h"
#include "tessary/external/internal/LogCapture.h"
#include "tessary/setup/internal/FileVersionInfo.h"
#include "tessary/setup/internal/LogSetup.h"

#include <cstdio>
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

TEST(VersionTest, ReportsSixPointOne) {
    EXPECT_EQ(TessaryGetVersion(), 393217);
}

TEST(VersionTest, VersionStringCarriesTheBuildStamp) {
    const std::string text = TessaryGetVersionString();
    EXPECT_TRUE(
        std::regex_match(text, std::regex("Tessary\\.Client\r\n" + kDate + " " + kTime + "\r\n")))
        << text;
    EXPECT_EQ(TessaryGetVersionString(), TessaryGetVersionString());
}

TEST(VersionTest, LogToBUSWritesOneLineAsPrintfFormatsIt) {
    LogCapture capture;
    LogToBUS("%s=%05d|%-4s|%.2f|%x", "value", 42, "ab", 3.14159, 255);
    char expected[64];
    std::snprintf(expected, sizeof expected, "%s=%05d|%-4s|%.2f|%x", "value", 42, "ab", 3.14159,
                  255);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, expected);
    EXPECT_EQ(lines[0].level, Level::Debug);
}

class FileVersionInfoTest : public SetupFixture {};

TEST_F(FileVersionInfoTest, GivesTheBuildVersionForAnExistingFileOnly) {
    CFileVersionInfo info;
    EXPECT_FALSE(info.Create((dir / "Tessary.Controller.Client64.so").c_str()));
    EXPECT_FALSE(info.IsValid());
    EXPECT_FALSE(info.Create(dir.c_str()));
    EXPECT_FALSE(info.Create(nullptr));

    const std::string file = Write("libtessary-client.so", "x");
    ASSERT_TRUE(info.Create(file.c_str()));
    EXPECT_TRUE(info.IsValid());
    EXPECT_EQ(info.GetFixedFileInfo().dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(info.FileVersionPart(0), TESSARY_VERSION_MAJOR);
    EXPECT_EQ(info.FileVersionPart(1), TESSARY_VERSION_MINOR);
    EXPECT_EQ(info.FileVersionPart(2), TESSARY_VERSION_PATCH);
    EXPECT_EQ(info.FileVersionPart(3), TESSARY_VERSION_BUILD);
    info.Reset();
    EXPECT_FALSE(info.IsValid());
    EXPECT_EQ(info.FileVersionPart(0), 0);
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
    EXPECT_EQ(texts[3], std::string(LogSetup::BuildStamp()) + "      (64-bit)");
}

} // namespace
