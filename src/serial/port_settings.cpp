#include "serial/port_settings.h"

#include <memory>
#include <mutex>

#include "serial/profile_text.h"

namespace talvo {
namespace profile = platform::profile;

namespace {
constexpr const char* kParam = "CommParam";
constexpr const char* kStat = "CommStat";
constexpr std::size_t kTextBuffer = 100;  // texts are read into 100 characters

// The file as last read, kept while its stamp vouches for it (see
// profile::Stamp): a file that has not changed is not read again, and one
// that has is read at the next command.
struct LastRead {
    std::string path;
    profile::FileStamp stamp;
    std::shared_ptr<const ProfileText> text;
};
std::mutex lastReadLock;
LastRead lastRead;

// The parsed file; null when it does not exist.
std::shared_ptr<const ProfileText> ReadSettingsFile(const std::string& path) {
    profile::FileStamp stamp;
    const bool vouched = profile::Stamp(path, stamp);
    if (vouched) {
        std::lock_guard<std::mutex> hold(lastReadLock);
        if (lastRead.text && lastRead.path == path && lastRead.stamp == stamp) return lastRead.text;
    }
    // The stamp was taken before the read: a change while reading leaves a
    // stamp that the next command finds different.
    std::string text;
    if (!profile::ReadWhole(path, text)) return nullptr;
    auto parsed = std::make_shared<const ProfileText>(std::move(text));
    if (vouched) {
        std::lock_guard<std::mutex> hold(lastReadLock);
        lastRead = LastRead{path, stamp, parsed};
    }
    return parsed;
}
}  // namespace

PortSettings::PortSettings() {
    IniPath = profile::WindowsDirectory() + profile::PathSeparator() + kFileName;
    if (Load() == 0) WriteDefaults();
}

int PortSettings::Load() {
    // One read of the file at most; every key is then taken from its text,
    // with the answers the Win32 profile functions give for that file.
    const std::shared_ptr<const ProfileText> parsed = ReadSettingsFile(IniPath);
    if (!parsed) return 0;
    const ProfileText& file = *parsed;
    ComName = file.String(kParam, "ComName", "COM2", kTextBuffer);
    InQueue = file.Int(kParam, "InQueue", 2048);
    OutQueue = file.Int(kParam, "OutQueue", 1024);
    StatStr = file.String(kStat, "StatStr", "parity=N data=8 stop=1", kTextBuffer);
    WaitTime = file.Int(kParam, "WaitTime", 1000);
    // A file without the key gets 50, a new file 150: both are intended.
    EchoTime = file.Int(kParam, "EchoTime", 50);
    BautRate = file.Int(kParam, "BautRate", 4800);
    ConvertP = file.Int(kParam, "ConvertP", 2);
    Repeat = file.Int(kParam, "Repeat", 3);
    if (ConvertP > 30) ConvertP = 30;
    if (Repeat == 0 || Repeat > 10) Repeat = 3;
    return 1;
}

int PortSettings::WriteDefaults() {
    auto num = [](std::uint32_t v) { return std::to_string(static_cast<std::int32_t>(v)); };
    profile::WriteString(kParam, "ComName", ComName, IniPath);
    profile::WriteString(kParam, "InQueue", num(InQueue), IniPath);
    profile::WriteString(kParam, "OutQueue", num(OutQueue), IniPath);
    profile::WriteString(kStat, "StatStr", StatStr, IniPath);
    profile::WriteString(kParam, "WaitTime", num(WaitTime), IniPath);
    profile::WriteString(kParam, "EchoTime", num(EchoTime), IniPath);
    profile::WriteString(kParam, "BautRate", num(BautRate), IniPath);
    profile::WriteString(kParam, "ConvertP", num(ConvertP), IniPath);
    profile::WriteString(kParam, "Repeat", num(Repeat), IniPath);
    return 1;
}

}  // namespace talvo
