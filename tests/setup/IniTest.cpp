#include "tessary/setup/internal/Ini.h"

#include "tests/support/SetupFixture.h"

#include "tessary/setup/internal/Configuration.h"

#include <string>

namespace {

class IniTest : public SetupFixture {};

TEST_F(IniTest, ReadsTheFirstValueOfTheKeyInItsSectionWithoutRegardToCaseOrTheDefault) {
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
    // A missing file gives the defaults, cut to the buffer.
    CIni none((dir / "none.ini").c_str(), "BUSServer");
    EXPECT_EQ(none.GetInt("CommandPort", 6630), 6630);
    EXPECT_EQ(none.GetString("Key", std::string(300, 'x').c_str()).GetLength(), 259);
}

// The bus server keys convert as atoi does; a key not in [BUSServer] keeps its default.
TEST_F(IniTest, BUSServerValuesConvertLikeAtoi) {
    struct Case {
        const char* Text;
        BUSServerSettings Expected;
    };
    for (const Case& c : {
             Case{"[BUSServer]\nCommandPort=7000\nStatusPort=7001\nNbOfBUSServer=2\n",
                  {7000, 7001, 2}},
             Case{"[BUSServer]\nStatusPort=12ab\nNbOfBUSServer=-3\n", {6630, 12, -3}},
             Case{"[Server]\nCommandPort=1\n", {6630, 6631, 4}},
             Case{"", {6630, 6631, 4}}}) {
        SCOPED_TRACE(c.Text);
        const BUSServerSettings settings =
            ReadBUSServerIni(Write(Configuration::IniFileName, c.Text).c_str());
        EXPECT_EQ(settings.CommandPort, c.Expected.CommandPort);
        EXPECT_EQ(settings.StatusPort, c.Expected.StatusPort);
        EXPECT_EQ(settings.NbOfBUSServer, c.Expected.NbOfBUSServer);
    }
}

} // namespace
