#include "tessary/setup/internal/Ini.h"

#include "SetupTestSupport.h"

#include "tessary/setup/internal/Configuration.h"

#include <string>

namespace {

class IniTest : public SetupFixture {};

TEST_F(IniTest, ReadsTheFirstValueOfTheKeyInItsSectionWithoutRegardToCase) {
    const std::string file = Write("a.ini", "[Other]\n"
                                            "Name=wrong section\n"
                                            "[busserver]\n"
                                            "NAME = first ; comment\n"
                                            "Name=second\n"
                                            "Quoted=\"  spaced  \"\n"
                                            "Single='x'\n"
                                            "Half=\"open\n"
                                            "Empty=\n");
    CIni ini(file.c_str(), "BUSServer");
    EXPECT_EQ(ini.GetString("name", "default"), "first");
    EXPECT_EQ(ini.GetString("Quoted", ""), "  spaced  ");
    EXPECT_EQ(ini.GetString("Single", ""), "x");
    EXPECT_EQ(ini.GetString("Half", ""), "\"open");
    EXPECT_EQ(ini.GetString("Empty", "default"), "");
    EXPECT_EQ(ini.GetString("Missing", "default"), "default");
    EXPECT_EQ(ini.GetString("Missing", nullptr), "");
    EXPECT_EQ(ini.GetString(nullptr, "default"), "default");
}

TEST_F(IniTest, AMissingFileGivesTheDefaultsCutToTheBuffer) {
    CIni ini((dir / "none.ini").c_str(), "BUSServer");
    EXPECT_EQ(ini.GetString("CommandPort", "6630"), "6630");
    EXPECT_EQ(ini.GetInt("CommandPort", 6630), 6630);
    EXPECT_EQ(ini.GetString("Key", std::string(300, 'x').c_str()).GetLength(), 259);
}

struct IniCase {
    const char* Label;
    const char* Text;
    BUSServerSettings Expected;
};

void PrintTo(const IniCase& c, std::ostream* out) {
    *out << c.Label;
}

class BUSServerIniTest : public SetupFixture, public ::testing::WithParamInterface<IniCase> {};

TEST_P(BUSServerIniTest, ValuesConvertLikeAtoi) {
    const std::string file = Write(Configuration::IniFileName, GetParam().Text);
    const BUSServerSettings settings = ReadBUSServerIni(file.c_str());
    EXPECT_EQ(settings.CommandPort, GetParam().Expected.CommandPort);
    EXPECT_EQ(settings.StatusPort, GetParam().Expected.StatusPort);
    EXPECT_EQ(settings.NbOfBUSServer, GetParam().Expected.NbOfBUSServer);
}

INSTANTIATE_TEST_SUITE_P(
    Values, BUSServerIniTest,
    ::testing::Values(IniCase{"AllSet",
                              "[BUSServer]\nCommandPort=7000\nStatusPort=7001\nNbOfBUSServer=2\n",
                              {7000, 7001, 2}},
                      IniCase{"NotANumber", "[BUSServer]\nCommandPort=abc\n", {0, 6631, 4}},
                      IniCase{"LeadingDigits",
                              "[BUSServer]\nStatusPort=12ab\nNbOfBUSServer=-3\n",
                              {6630, 12, -3}},
                      IniCase{"OtherSection", "[Server]\nCommandPort=1\n", {6630, 6631, 4}},
                      IniCase{"Empty", "", {6630, 6631, 4}}),
    [](const ::testing::TestParamInfo<IniCase>& param) { return std::string(param.param.Label); });

} // namespace
