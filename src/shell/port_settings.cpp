#include "shell/port_settings.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "platform/profile_text.h"

namespace talvo {
namespace profile = platform::profile;

namespace {
constexpr const char* kParam = "CommParam";
constexpr const char* kStat = "CommStat";
constexpr std::size_t kTextBuffer = 100;  // texts are read into 100 characters

// The nine keys as a settings file gives them.
struct Keys {
    std::string comName;
    std::string statStr;
    std::uint32_t inQueue = 0;
    std::uint32_t outQueue = 0;
    std::uint32_t waitTime = 0;
    std::uint32_t echoTime = 0;
    std::uint32_t bautRate = 0;
    std::uint32_t convertP = 0;
    std::uint32_t repeat = 0;
    std::uint32_t checkTerminal = 1;
    std::uint32_t netAllowance = PortSettings::kNetAllowanceByKind;
    std::uint32_t connectTime = kDefaultConnectTime;
};

// Every key is taken from the file's text with the answer the Win32
// profile functions give for that file.
Keys FromFile(const ProfileText& file) {
    Keys k;
    k.comName = file.String(kParam, "ComName", "COM2", kTextBuffer);
    k.inQueue = file.Int(kParam, "InQueue", 2048);
    k.outQueue = file.Int(kParam, "OutQueue", 1024);
    k.statStr = file.String(kStat, "StatStr", "parity=N data=8 stop=1", kTextBuffer);
    k.waitTime = file.Int(kParam, "WaitTime", 1000);
    // A file without the key gets 50, a new file 150: both are intended.
    k.echoTime = file.Int(kParam, "EchoTime", 50);
    k.bautRate = file.Int(kParam, "BautRate", 4800);
    k.convertP = file.Int(kParam, "ConvertP", 2);
    k.repeat = file.Int(kParam, "Repeat", 3);
    k.checkTerminal = file.Int(kParam, "CheckTerminal", 1) == 0 ? 0 : 1;
    k.netAllowance = file.Int(kParam, "NetAllowance", PortSettings::kNetAllowanceByKind);
    k.connectTime = file.Int(kParam, "ConnectTime", kDefaultConnectTime);
    return k;
}

// The keys of the file as last read, kept while its stamp vouches for it
// (see profile::Stamp): a file that has not changed is not read again, and
// one that has is read at the next command.  Plain data, constant-initialized:
// the library's load and unload steps may read settings before or after its
// other static objects live.
struct LastRead {
    bool valid = false;
    char path[512] = {};
    profile::FileStamp stamp;
    char comName[kTextBuffer] = {};
    char statStr[kTextBuffer] = {};
    std::uint32_t numbers[10] = {};
};
constinit LastRead lastRead;

// Guards lastRead; constant-initialized too, and held only to copy it.
class LastReadLock {
public:
    LastReadLock() {
        while (busy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    ~LastReadLock() { busy.clear(std::memory_order_release); }
    LastReadLock(const LastReadLock&) = delete;
    LastReadLock& operator=(const LastReadLock&) = delete;

private:
    static constinit std::atomic_flag busy;
};
constinit std::atomic_flag LastReadLock::busy;

bool SameFile(const LastRead& last, const std::string& path, const profile::FileStamp& stamp) {
    return last.valid && path == last.path && stamp == last.stamp;
}

void Remember(const std::string& path, const profile::FileStamp& stamp, const Keys& k) {
    if (path.size() >= sizeof lastRead.path || k.comName.size() >= kTextBuffer || k.statStr.size() >= kTextBuffer) {
        lastRead.valid = false;
        return;
    }
    lastRead.valid = true;
    path.copy(lastRead.path, path.size());
    lastRead.path[path.size()] = '\0';
    lastRead.stamp = stamp;
    k.comName.copy(lastRead.comName, k.comName.size());
    lastRead.comName[k.comName.size()] = '\0';
    k.statStr.copy(lastRead.statStr, k.statStr.size());
    lastRead.statStr[k.statStr.size()] = '\0';
    const std::uint32_t numbers[10] = {k.inQueue,  k.outQueue, k.waitTime,      k.echoTime,     k.bautRate,
                                       k.convertP, k.repeat,   k.checkTerminal, k.netAllowance, k.connectTime};
    std::copy(numbers, numbers + 10, lastRead.numbers);
}

// The keys into the record; assigning into its strings keeps their storage.
void Apply(const Keys& k, PortSettings& s) {
    s.ComName = k.comName;
    s.InQueue = k.inQueue;
    s.OutQueue = k.outQueue;
    s.StatStr = k.statStr;
    s.WaitTime = k.waitTime;
    s.EchoTime = k.echoTime;
    s.BautRate = k.bautRate;
    s.ConvertP = k.convertP;
    s.Repeat = k.repeat;
    s.CheckTerminal = k.checkTerminal != 0;
    s.NetAllowance = k.netAllowance;
    s.ConnectTime = k.connectTime;
}

// The keys of the file as last read, straight into the record.
void Recall(PortSettings& s) {
    s.ComName = lastRead.comName;
    s.StatStr = lastRead.statStr;
    const std::uint32_t* n = lastRead.numbers;
    s.InQueue = n[0];
    s.OutQueue = n[1];
    s.WaitTime = n[2];
    s.EchoTime = n[3];
    s.BautRate = n[4];
    s.ConvertP = n[5];
    s.Repeat = n[6];
    s.CheckTerminal = n[7] != 0;
    s.NetAllowance = n[8];
    s.ConnectTime = n[9];
}

// False when the file does not exist.
bool ReadKeys(const std::string& path, PortSettings& s) {
    profile::FileStamp stamp;
    const bool vouched = profile::Stamp(path, stamp);
    if (vouched) {
        const LastReadLock hold;
        if (SameFile(lastRead, path, stamp)) {
            Recall(s);
            return true;
        }
    }
    // One open and one read.  The stamp was taken before it: a change while
    // reading leaves a stamp that the next command finds different.
    std::string text;
    if (!profile::ReadWhole(path, text)) return false;
    const Keys keys = FromFile(ProfileText(std::move(text)));
    Apply(keys, s);
    if (vouched) {
        const LastReadLock hold;
        Remember(path, stamp, keys);
    }
    return true;
}
}  // namespace

PortSettings::PortSettings() {
    IniPath = profile::WindowsDirectory() + profile::PathSeparator() + kFileName;
    if (Load() == 0) WriteDefaults();
}

int PortSettings::Load() {
    if (!ReadKeys(IniPath, *this)) return 0;
    if (ConvertP > 30) ConvertP = 30;
    if (Repeat == 0 || Repeat > 10) Repeat = 3;
    if (NetAllowance > 600000) NetAllowance = kNetAllowanceByKind;
    if (ConnectTime == 0 || ConnectTime > 600000) ConnectTime = kDefaultConnectTime;
    return 1;
}

void PortSettings::Reload() {
    if (IniPath.empty() || Load() == 0) *this = PortSettings();
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

void PortSettings::ApplyTo(LineTiming& timing, LineParams& params, bool network) const {
    timing.echoTime = EchoTime;
    timing.waitTime = WaitTime;
    timing.tries = Repeat;
    timing.filler = ConvertP;
    timing.baud = BautRate;
    timing.checkTerminal = CheckTerminal;
    timing.netAllowance = NetAllowance != kNetAllowanceByKind ? NetAllowance
                          : network                           ? kDefaultNetAllowance
                                                              : 0;
    params.device = ComName;
    params.baud = BautRate;
    params.format = StatStr;
    params.inQueue = InQueue;
    params.outQueue = OutQueue;
    params.connectMs = ConnectTime;
}

}  // namespace talvo
