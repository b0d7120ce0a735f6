// The settings file (VELDA.INI): any text, with or without a byte-order
// mark, read as the 43 exports read it before every command.  The same
// settings with Windows line ends, or with a UTF-8 mark in front, read the
// same.
#include "fuzz_check.h"
#include "platform/profile_text.h"
#include "shell/port_settings.h"

using namespace talvo;

namespace {

PortSettings Load(fuzz::MemoryFile& file, const std::string& text) {
    file.Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    PortSettings s{PortSettings::DefaultsOnly{}};
    s.IniPath = file.Path();
    FUZZ_CHECK(s.Load() == 1);
    return s;
}

bool Same(const PortSettings& a, const PortSettings& b) {
    return a.ComName == b.ComName && a.StatStr == b.StatStr && a.InQueue == b.InQueue && a.OutQueue == b.OutQueue &&
           a.EchoTime == b.EchoTime && a.WaitTime == b.WaitTime && a.ConvertP == b.ConvertP && a.Repeat == b.Repeat &&
           a.BautRate == b.BautRate && a.CheckTerminal == b.CheckTerminal && a.NetAllowance == b.NetAllowance &&
           a.ConnectTime == b.ConnectTime;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 16 * 1024) return 0;
    static fuzz::MemoryFile file;
    const std::string text = fuzz::Text(data, size);
    const PortSettings s = Load(file, text);
    // Texts are read into 100 characters; the numbers the line cannot take
    // are replaced.
    FUZZ_CHECK(s.ComName.size() < 100 && s.StatStr.size() < 100);
    FUZZ_CHECK(s.ConvertP <= 30 && s.Repeat >= 1 && s.Repeat <= 10);
    FUZZ_CHECK(s.ConnectTime >= 1 && s.ConnectTime <= 600000);
    FUZZ_CHECK(s.NetAllowance <= 600000 || s.NetAllowance == PortSettings::kNetAllowanceByKind);
    LineTiming timing;
    LineParams params;
    s.ApplyTo(timing, params, true);
    FUZZ_CHECK(params.device == s.ComName && timing.netAllowance <= 600000);

    // Windows line ends in a file of single bytes: a line ends at a run of
    // CR and LF either way.
    const bool wide = text.rfind("\xFF\xFE", 0) == 0 || text.rfind("\xFE\xFF", 0) == 0;
    if (!wide) {
        std::string crlf;
        for (char c : text) {
            if (c == '\n') crlf += '\r';
            crlf += c;
        }
        FUZZ_CHECK(Same(Load(file, crlf), s));
    }
    // A UTF-8 byte-order mark in front of a file that has none.
    if (!wide && text.rfind("\xEF\xBB\xBF", 0) != 0) FUZZ_CHECK(Same(Load(file, "\xEF\xBB\xBF" + text), s));
    return 0;
}
