#include "serial/port_settings.h"

#include "serial/profile_text.h"

namespace talvo {
namespace profile = platform::profile;

namespace {
constexpr const char* kParam = "CommParam";
constexpr const char* kStat = "CommStat";
constexpr std::size_t kTextBuffer = 100;  // texts are read into 100 characters
}  // namespace

PortSettings::PortSettings() {
    IniPath = profile::WindowsDirectory() + profile::PathSeparator() + kFileName;
    if (Load() == 0) WriteDefaults();
}

int PortSettings::Load() {
    // One read of the file; every key is then taken from its text, with the
    // answers the Win32 profile functions give for that file.
    std::string text;
    if (!profile::ReadWhole(IniPath, text)) return 0;
    const ProfileText file(std::move(text));
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
