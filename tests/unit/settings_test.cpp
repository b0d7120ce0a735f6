// The settings record and the private-profile reader and writer it uses.
// The same tests run natively and under Wine, where profile::ReadString and
// ReadInt are the Win32 profile functions: the one-pass reader (ProfileText)
// must answer as they do on both targets, and so must the Linux reader.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>
#endif

#include "platform/platform.h"
#include "shell/port_settings.h"
#include "platform/profile_text.h"
#include "settings_file.h"
#ifndef _WIN32
#include "temp_dir.h"
#endif

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

// ---------------------------------------------------------------------------
// Awkward files: each lookup is answered by the one-pass reader and by the
// platform's profile functions (the Win32 ones under Wine), and both must
// give the answer written here, which is what the Win32 functions give.

struct Lookup {
    const char* section;
    const char* key;
    std::string want;  // GetPrivateProfileString with "dflt" and 100 characters
    std::uint32_t wantInt;  // GetPrivateProfileInt with 777
};

void ExpectLookups(const SettingsFile& file, const std::string& text, const std::vector<Lookup>& lookups) {
    file.WriteRaw(text);
    std::string read;
    ASSERT_TRUE(profile::ReadWhole(file.Path(), read));
    const ProfileText parsed(read);
    for (const Lookup& l : lookups) {
        SCOPED_TRACE(std::string(l.section) + "/" + l.key);
        EXPECT_EQ(parsed.String(l.section, l.key, "dflt", 100), l.want);
        EXPECT_EQ(parsed.Int(l.section, l.key, 777), l.wantInt);
        EXPECT_EQ(profile::ReadString(l.section, l.key, "dflt", file.Path(), 100), l.want);
        EXPECT_EQ(profile::ReadInt(l.section, l.key, 777, file.Path()), l.wantInt);
    }
}

TEST(ProfileEquivalence, BlanksCaseLineEndsAndBrackets) {
    SettingsFile file;
    // ^Z, vertical tab and form feed are blanks; a lone CR ends a line; a
    // section name runs to the last ']' of its line.
    ExpectLookups(file,
                  "\x1a[ commparam ] junk\r\n\v bautrate \f= \t9600 \x1a\r\n  ComName=  COM5  \rWaitTime=250\n\n"
                  "[Comm]Stat]\r\nStatStr=parity=E\r\n",
                  {{"CommParam", "BautRate", "9600", 9600},
                   {"COMMPARAM", "comname", "COM5", 0},
                   {"CommParam", "WaitTime", "250", 250},
                   {"Comm]Stat", "StatStr", "parity=E", 0},
                   {"CommStat", "StatStr", "dflt", 777},
                   {"CommParam", "Missing", "dflt", 777},
                   {"Missing", "BautRate", "dflt", 777}});
}

TEST(ProfileEquivalence, FirstOccurrenceWinsAndOnlyTheFirstSectionCounts) {
    SettingsFile file;
    ExpectLookups(file,
                  "[CommParam]\r\nComName=COM5\r\nComName=COM6\r\n[CommStat]\r\nStatStr=parity=E\r\n"
                  "[commparam]\r\nBautRate=9600\r\n[CommStat]\r\nStatStr=parity=O\r\n",
                  {{"CommParam", "ComName", "COM5", 0},
                   {"CommParam", "BautRate", "dflt", 777},  // in the second [CommParam] only
                   {"CommStat", "StatStr", "parity=E", 0}});
}

TEST(ProfileEquivalence, CommentsAndLinesThatAreNoKeys) {
    SettingsFile file;
    // No comment syntax of its own: ';' and '#' lines are keys of other
    // names, a ';' inside a value is part of it, a key without '=' hides a
    // later one of its name, and a header without ']' is a key line.
    ExpectLookups(file,
                  "ComName=COM9\r\n[CommParam]\r\n;ComName=COM7\r\n# BautRate=1200\r\nComName=COM5 ; the port\r\n"
                  "EchoTime\r\nEchoTime=90\r\nBautRate=\r\nWaitTime= a = b \r\n[CommStat\r\nRepeat=5\r\n",
                  {{"CommParam", "ComName", "COM5 ; the port", 0},
                   {"CommParam", ";ComName", "COM7", 0},
                   {"CommParam", "EchoTime", "dflt", 777},
                   {"CommParam", "BautRate", "", 777},
                   {"CommParam", "WaitTime", "a = b", 0},
                   {"CommParam", "Repeat", "5", 5},
                   {"CommStat", "Repeat", "dflt", 777}});
}

TEST(ProfileEquivalence, OnePairOfQuotesIsDropped) {
    SettingsFile file;
    ExpectLookups(file,
                  "[CommParam]\r\nComName=\"COM5\"\r\nStatStr=' parity=E '\r\nBautRate=\"9600\"\r\n"
                  "WaitTime=\"12\r\nEchoTime=\"\"\r\nRepeat='\r\nConvertP=\"3'\r\nInQueue=\"  77\"\r\n",
                  {{"CommParam", "ComName", "COM5", 0},
                   {"CommParam", "StatStr", " parity=E ", 0},
                   {"CommParam", "BautRate", "9600", 9600},
                   {"CommParam", "WaitTime", "\"12", 0},
                   {"CommParam", "EchoTime", "", 777},
                   {"CommParam", "Repeat", "'", 0},
                   {"CommParam", "ConvertP", "\"3'", 0},
                   {"CommParam", "InQueue", "  77", 77}});
}

TEST(ProfileEquivalence, IntegersAsTheWin32ReaderReadsThem) {
    SettingsFile file;
    ExpectLookups(file,
                  "[S]\r\nhex=0x2580\r\nbigX=0X10\r\noct=0o17\r\nbin=0b101\r\nneghex=-0x1f\r\nwrap=99999999999\r\n"
                  "tail=12ab\r\nsigns=+-5\r\nexp=1e3\r\nlong=000000000000000000000000000009600\r\nbad2=0b2\r\n",
                  {{"S", "hex", "0x2580", 9600},
                   {"S", "bigX", "0X10", 0},
                   {"S", "oct", "0o17", 15},
                   {"S", "bin", "0b101", 5},
                   {"S", "neghex", "-0x1f", 0xFFFFFFE1u},
                   {"S", "wrap", "99999999999", 1215752191u},
                   {"S", "tail", "12ab", 12},
                   {"S", "signs", "+-5", 0},
                   {"S", "exp", "1e3", 1},
                   // Only the first 29 characters are read as a number.
                   {"S", "long", "000000000000000000000000000009600", 0},
                   {"S", "bad2", "0b2", 0}});
}

TEST(ProfileEquivalence, TextsAtTheSizeOfTheBuffer) {
    SettingsFile file;
    const std::string x98(98, 'x');
    const std::string x99(99, 'x');
    // A quoted value of 99 characters fills the buffer with its closing
    // quote cut off, and then loses one character more.
    ExpectLookups(file,
                  "[CommParam]\r\nA=\"" + x98 + "\"\r\nB=\"" + x99 + "\"\r\nC=" + x99 + "yz\r\nD=\"" + x99 + "yz\"\r\n",
                  {{"CommParam", "A", x98, 0},
                   {"CommParam", "B", std::string(98, 'x'), 0},
                   {"CommParam", "C", x99, 0},
                   {"CommParam", "D", x99, 0}});
}

TEST(ProfileEquivalence, ByteOrderMarksAndZeroBytes) {
    SettingsFile file;
    ExpectLookups(file, "\xEF\xBB\xBF[CommParam]\r\nComName=COM5\r\n", {{"CommParam", "ComName", "COM5", 0}});
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("[CommParam]\r\nBautRate=9600\r\n")) utf16 += std::string(1, c) + '\0';
    ExpectLookups(file, utf16, {{"CommParam", "BautRate", "9600", 9600}});
    // A zero byte ends a name or a value.
    static const char zeros[] = "[CommParam]\r\nComName=CO\0M5\r\nBautRate=96\0" "00\r\n";
    ExpectLookups(file, std::string(zeros, sizeof zeros - 1),
                  {{"CommParam", "ComName", "CO", 0}, {"CommParam", "BautRate", "96", 96}});
}

TEST(ProfileEquivalence, DefaultsLoseTrailingSpacesAndQuotes) {
    SettingsFile file;
    file.WriteRaw("[CommParam]\r\n");
    std::string read;
    ASSERT_TRUE(profile::ReadWhole(file.Path(), read));
    const ProfileText parsed(read);
    struct Case {
        const char* def;
        std::size_t capacity;
        const char* want;
    };
    for (const Case& c : {Case{"d  ", 100, "d"}, Case{"\"q\"", 100, "q"}, Case{"   ", 100, " "}, Case{"dflt", 1, ""},
                          Case{"dflt", 3, "df"}}) {
        SCOPED_TRACE(std::string(c.def) + "/" + std::to_string(c.capacity));
        EXPECT_EQ(parsed.String("CommParam", "Missing", c.def, c.capacity), c.want);
        EXPECT_EQ(profile::ReadString("CommParam", "Missing", c.def, file.Path(), c.capacity), c.want);
    }
}

// ---------------------------------------------------------------------------
// The settings record: one read of the file for all nine keys.

TEST(Settings, AllNineKeysFromOneAwkwardFile) {
    SettingsFile file;
    file.WriteRaw("\xEF\xBB\xBF; written by hand\n[ commstat ]\n statstr = 'parity=E data=7 stop=2' \n"
                  "[COMMPARAM]\rCOMNAME=\"COM12\"\r inqueue=0x1000\r outqueue = 512 bytes\r"
                  "WaitTime=\t700\rEchoTime=+80\rBautRate=\"9600\"\rConvertP=0b11\rRepeat= 5\r"
                  "[CommParam]\rRepeat=9\r");
    PortSettings s;
    EXPECT_EQ(s.ComName, "COM12");
    EXPECT_EQ(s.InQueue, 4096u);
    EXPECT_EQ(s.OutQueue, 512u);
    EXPECT_EQ(s.StatStr, "parity=E data=7 stop=2");
    EXPECT_EQ(s.WaitTime, 700u);
    EXPECT_EQ(s.EchoTime, 80u);
    EXPECT_EQ(s.BautRate, 9600u);
    EXPECT_EQ(s.ConvertP, 3u);
    EXPECT_EQ(s.Repeat, 5u);
}

TEST(Settings, AChangeTakesEffectAtTheNextRead) {
    SettingsFile file;
    file.Write({{"EchoTime", "70"}, {"ComName", "COM3"}});
    EXPECT_EQ(PortSettings().EchoTime, 70u);
    // The same size and, most likely, the same second as the first file.
    file.Write({{"EchoTime", "90"}, {"ComName", "COM4"}});
    PortSettings again;
    EXPECT_EQ(again.EchoTime, 90u);
    EXPECT_EQ(again.ComName, "COM4");
    file.Remove();
    EXPECT_EQ(PortSettings().EchoTime, 150u);  // a missing file is written anew
}

TEST(Settings, AChangeToASettledFileIsSeenAtTheNextRead) {
    // A file left alone for more than two seconds is not read again while
    // its stamp stays the same; a change of the same size must still be
    // seen at once.
    SettingsFile file;
    file.Write({{"EchoTime", "70"}, {"ComName", "COM3"}});
#ifdef _WIN32
    // Dated back instead of waited for.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER past;
    past.LowPart = now.dwLowDateTime;
    past.HighPart = now.dwHighDateTime;
    past.QuadPart -= 100000000ull;  // ten seconds
    FILETIME old{past.LowPart, past.HighPart};
    HANDLE h = CreateFileA(file.Path().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(h, &old, nullptr, &old));
    CloseHandle(h);
#else
    sleep(3);
#endif
    profile::FileStamp stamp;
    ASSERT_TRUE(profile::Stamp(file.Path(), stamp));
    EXPECT_EQ(PortSettings().EchoTime, 70u);
    EXPECT_EQ(PortSettings().EchoTime, 70u);  // from what was read before
    file.Write({{"EchoTime", "90"}, {"ComName", "COM4"}});
    EXPECT_FALSE(profile::Stamp(file.Path(), stamp)) << "a file changed just now has no stamp to trust";
    PortSettings again;
    EXPECT_EQ(again.EchoTime, 90u);
    EXPECT_EQ(again.ComName, "COM4");
}

TEST(Settings, AFileThatCannotBeReadGivesTheMissingKeyValuesAndIsLeftAlone) {
    SettingsFile file;
    // A directory where the file should be: it exists, but reads as empty.
#ifdef _WIN32
    ASSERT_TRUE(CreateDirectoryA(file.Path().c_str(), nullptr));
#else
    ASSERT_EQ(mkdir(file.Path().c_str(), 0755), 0);
#endif
    std::string text = "not cleared";
    EXPECT_TRUE(profile::ReadWhole(file.Path(), text));
    EXPECT_EQ(text, "");
    PortSettings s;
    EXPECT_EQ(s.EchoTime, 50u);
    EXPECT_EQ(s.ComName, "COM2");
#ifdef _WIN32
    EXPECT_TRUE(RemoveDirectoryA(file.Path().c_str()));
#else
    EXPECT_EQ(rmdir(file.Path().c_str()), 0);
#endif
    EXPECT_FALSE(profile::ReadWhole(file.Path(), text));
}

#ifndef _WIN32
// Stamps of settled files are taken through a descriptor held on the file:
// whatever happens to the file or to the folders on its path, a stamp is
// never vouched for a file that is not the one the path names.
TEST(Settings, StampsFollowTheFileThePathNames) {
    test::TempDir dir;
    auto write = [](const std::string& path, const std::string& text) {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
    };
    const std::string a = dir / "a";
    const std::string b = dir / "b";
    ASSERT_EQ(mkdir(a.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(b.c_str(), 0700), 0);
    write(a + "/VELDA.INI", "[CommParam]\nEchoTime=70\n");
    write(b + "/VELDA.INI", "[CommParam]\nEchoTime=90\n");  // the same size
    write(dir / "spare.ini", "[CommParam]\nEchoTime=80\n");
    sleep(3);  // all three settle
    const std::string path = a + "/VELDA.INI";
    profile::FileStamp first;
    profile::FileStamp again;
    ASSERT_TRUE(profile::Stamp(path, first));
    ASSERT_TRUE(profile::Stamp(path, again));
    EXPECT_EQ(first, again);

    // The folder on the path swapped for another: seen once the path is
    // looked at again, at the latest a second later.
    ASSERT_EQ(rename(a.c_str(), (dir / "a.old").c_str()), 0);
    ASSERT_EQ(rename(b.c_str(), a.c_str()), 0);
    sleep(2);
    profile::FileStamp swapped;
    ASSERT_TRUE(profile::Stamp(path, swapped)) << "the other file is settled too";
    EXPECT_NE(swapped, first);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(swapped.identity[1], static_cast<std::uint64_t>(st.st_ino));

    // Another file renamed onto it, or the file removed: never the old stamp.
    ASSERT_EQ(rename((dir / "spare.ini").c_str(), path.c_str()), 0);
    profile::FileStamp replaced;
    EXPECT_TRUE(!profile::Stamp(path, replaced) || replaced != swapped);
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_FALSE(profile::Stamp(path, replaced));

    // The descriptor is given back on request (the library's unload).
    profile::ReleaseStamps();
}

// A settled file is vouched for without a look at its status while nothing
// was heard of it; every kind of change is heard at once, and the next
// stamp is refused (a change just now) and then differs.
TEST(Settings, EveryChangeOfASettledFileCountsFromTheNextStamp) {
    test::TempDir dir;
    const std::string path = dir / "VELDA.INI";
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("[CommParam]\nEchoTime=70\n", f);
        std::fclose(f);
    }
    // Open before the changes below: a write through it is no new open.
    const int writer = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    profile::FileStamp before;
    auto settled = [&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!profile::Stamp(path, before) && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        profile::FileStamp again;
        return profile::Stamp(path, again) && again == before;
    };
    const std::vector<std::pair<const char*, std::function<void()>>> changes = {
        {"a write of the same size, the file kept open",
         [&] { ASSERT_EQ(pwrite(writer, "9", 1, 21), 1); }},
        {"its mode", [&] { ASSERT_EQ(chmod(path.c_str(), 0600), 0); }},
        {"a second name", [&] { ASSERT_EQ(link(path.c_str(), (dir / "other").c_str()), 0); }},
        {"cut short", [&] { ASSERT_EQ(ftruncate(writer, 10), 0); }},
    };
    for (const auto& [what, change] : changes) {
        ASSERT_TRUE(settled()) << what;
        const profile::FileStamp old = before;
        change();
        profile::FileStamp after;
        EXPECT_FALSE(profile::Stamp(path, after)) << what << ": changed just now";
        ASSERT_TRUE(settled()) << what;
        EXPECT_NE(before, old) << what;
    }
    close(writer);
    profile::ReleaseStamps();
}
#endif

}  // namespace
}  // namespace talvo
