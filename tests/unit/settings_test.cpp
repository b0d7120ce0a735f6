// The settings record and the private-profile reader and writer it uses.
// The same tests run natively and under Wine, where the profile functions are
// the Win32 ones: the Linux reader must behave as they do.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "serial/port_settings.h"
#include "settings_file.h"

namespace talvo {
namespace {

using test::SettingsFile;
namespace profile = platform::profile;

TEST(Settings, MissingFileIsWrittenWithTheDefaults) {
    SettingsFile file;
    ASSERT_FALSE(file.Exists());
    PortSettings first;
    EXPECT_EQ(first.EchoTime, 150u);
    ASSERT_TRUE(file.Exists());
    const std::string path = file.Path();
    EXPECT_EQ(profile::ReadString("CommParam", "ComName", "?", path, 100), "COM2");
    EXPECT_EQ(profile::ReadInt("CommParam", "InQueue", 0, path), 2048u);
    EXPECT_EQ(profile::ReadInt("CommParam", "OutQueue", 0, path), 1024u);
    EXPECT_EQ(profile::ReadString("CommStat", "StatStr", "?", path, 100), "parity=N data=8 stop=1");
    EXPECT_EQ(profile::ReadInt("CommParam", "WaitTime", 0, path), 1000u);
    EXPECT_EQ(profile::ReadInt("CommParam", "EchoTime", 0, path), 150u);
    EXPECT_EQ(profile::ReadInt("CommParam", "BautRate", 0, path), 4800u);
    EXPECT_EQ(profile::ReadInt("CommParam", "ConvertP", 0, path), 2u);
    EXPECT_EQ(profile::ReadInt("CommParam", "Repeat", 0, path), 3u);

    PortSettings second;  // reads the new file
    EXPECT_EQ(second.EchoTime, 150u);
    EXPECT_EQ(second.ComName, "COM2");
    EXPECT_EQ(second.StatStr, "parity=N data=8 stop=1");
}

TEST(Settings, EmptyFileTakesTheMissingKeyValuesAndIsNotWritten) {
    SettingsFile file;
    file.WriteRaw("");
    PortSettings s;
    EXPECT_EQ(s.EchoTime, 50u);
    EXPECT_EQ(s.WaitTime, 1000u);
    EXPECT_EQ(s.BautRate, 4800u);
    EXPECT_EQ(s.ConvertP, 2u);
    EXPECT_EQ(s.Repeat, 3u);
    EXPECT_EQ(s.InQueue, 2048u);
    EXPECT_EQ(s.OutQueue, 1024u);
    EXPECT_EQ(s.ComName, "COM2");
    EXPECT_EQ(file.Read(), "");
}

TEST(Settings, BoundsOfConvertPAndRepeat) {
    SettingsFile file;
    struct Case {
        const char* convertP;
        const char* repeat;
        std::uint32_t wantConvertP;
        std::uint32_t wantRepeat;
    };
    const Case cases[] = {
        {"45", "0", 30, 3},  {"30", "11", 30, 3}, {"0", "10", 0, 10},
        {"-1", "-1", 30, 3},  // read as large unsigned values
        {"7", "1", 7, 1},
    };
    for (const Case& c : cases) {
        file.Write({{"ConvertP", c.convertP}, {"Repeat", c.repeat}});
        PortSettings s;
        EXPECT_EQ(s.ConvertP, c.wantConvertP) << "ConvertP=" << c.convertP;
        EXPECT_EQ(s.Repeat, c.wantRepeat) << "Repeat=" << c.repeat;
    }
}

TEST(Settings, LongTextsAreCutTo99Characters) {
    SettingsFile file;
    const std::string name(120, 'X');
    const std::string stat = "parity=E " + std::string(110, ' ') + "data=7";
    file.Write({{"ComName", name}, {"StatStr", std::string(105, 'p')}});
    PortSettings s;
    EXPECT_EQ(s.ComName, std::string(99, 'X'));
    EXPECT_EQ(s.StatStr, std::string(99, 'p'));
}

TEST(Profile, NamesMatchWithoutCaseAndBlanksAreTrimmed) {
    SettingsFile file;
    file.WriteRaw("; comment\r\n [ commparam ] \r\nbautrate = 9600 \r\n  ComName=  COM5  \r\n[Other]\r\nBautRate=1\r\n");
    const std::string path = file.Path();
    EXPECT_EQ(profile::ReadInt("CommParam", "BautRate", 0, path), 9600u);
    EXPECT_EQ(profile::ReadString("COMMPARAM", "comname", "", path, 100), "COM5");
    EXPECT_EQ(profile::ReadString("CommParam", "Missing", "dflt", path, 100), "dflt");
    EXPECT_EQ(profile::ReadInt("Missing", "BautRate", 77, path), 77u);
}

TEST(Profile, IntegersReadAsTheWin32ReaderReadsThem) {
    SettingsFile file;
    file.WriteRaw("[S]\r\nneg=-5\r\nplus=+12\r\ntail=42abc\r\nword=abc\r\nempty=\r\n");
    const std::string path = file.Path();
    EXPECT_EQ(profile::ReadInt("S", "neg", 0, path), static_cast<std::uint32_t>(-5));
    EXPECT_EQ(profile::ReadInt("S", "plus", 0, path), 12u);
    EXPECT_EQ(profile::ReadInt("S", "tail", 0, path), 42u);
    EXPECT_EQ(profile::ReadInt("S", "word", 9, path), 0u);
    EXPECT_EQ(profile::ReadInt("S", "empty", 9, path), 9u);
}

TEST(Profile, WritingKeepsEveryOtherLine) {
    SettingsFile file;
    file.WriteRaw("[A]\r\nx=1\r\n; keep me\r\n[B]\r\ny=2\r\n");
    const std::string path = file.Path();
    ASSERT_TRUE(profile::WriteString("a", "X", "10", path));   // replace, other case
    ASSERT_TRUE(profile::WriteString("A", "z", "3", path));    // new key in a section
    ASSERT_TRUE(profile::WriteString("C", "w", "4", path));    // new section
    EXPECT_EQ(profile::ReadString("A", "x", "", path, 100), "10");
    EXPECT_EQ(profile::ReadString("A", "z", "", path, 100), "3");
    EXPECT_EQ(profile::ReadString("B", "y", "", path, 100), "2");
    EXPECT_EQ(profile::ReadString("C", "w", "", path, 100), "4");
    EXPECT_NE(file.Read().find("; keep me"), std::string::npos);
}

}  // namespace
}  // namespace talvo
