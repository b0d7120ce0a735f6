#include "serial/port_settings.h"

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
    if (!profile::FileExists(IniPath)) return 0;
    ComName = profile::ReadString(kParam, "ComName", "COM2", IniPath, kTextBuffer);
    InQueue = profile::ReadInt(kParam, "InQueue", 2048, IniPath);
    OutQueue = profile::ReadInt(kParam, "OutQueue", 1024, IniPath);
    StatStr = profile::ReadString(kStat, "StatStr", "parity=N data=8 stop=1", IniPath, kTextBuffer);
    WaitTime = profile::ReadInt(kParam, "WaitTime", 1000, IniPath);
    // A file without the key gets 50, a new file 150: both are intended.
    EchoTime = profile::ReadInt(kParam, "EchoTime", 50, IniPath);
    BautRate = profile::ReadInt(kParam, "BautRate", 4800, IniPath);
    ConvertP = profile::ReadInt(kParam, "ConvertP", 2, IniPath);
    Repeat = profile::ReadInt(kParam, "Repeat", 3, IniPath);
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
