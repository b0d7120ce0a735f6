// The 43 exports' settings record, read from the settings file VELDA.INI
// before every command and handed to the default line as its timing and its
// serial port's parameters.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "protocol/line.h"
#include "protocol/transport.h"

namespace talvo {

class PortSettings {
public:
    static constexpr const char* kFileName = "VELDA.INI";

    // Reads the settings file, or writes it with the defaults when missing.
    PortSettings();
    // The defaults of a new settings file; no file is read or written.
    struct DefaultsOnly {};
    explicit PortSettings(DefaultsOnly) {}
    virtual ~PortSettings() = default;
    PortSettings(const PortSettings&) = default;
    PortSettings& operator=(const PortSettings&) = default;

    // 1 when the file exists and was read, 0 when it does not exist.  The
    // file is read with one open and one read, and not at all while its
    // stamp shows it unchanged since the last read (profile::Stamp); every
    // key is then taken from its text.
    int Load();
    // Writes the nine keys of a new file from the record; always 1.
    int WriteDefaults();
    // What a new record would hold, read into this one: the file read again
    // (or written with the defaults when missing), the texts' storage reused.
    void Reload();

    std::uint32_t InQueue = 2048;
    std::uint32_t OutQueue = 1024;
    std::uint32_t EchoTime = 150;
    std::uint32_t WaitTime = 1000;
    std::uint32_t ConvertP = 2;
    std::uint32_t Repeat = 3;
    std::string IniPath;
    std::string ComName = "COM2";
    std::uint32_t BautRate = 4800;
    std::string StatStr = "parity=N data=8 stop=1";
    // [CommParam] CheckTerminal: 0 lets a reply of any terminal answer a
    // request (for terminals that leave the field unfilled); a missing key
    // or any other value keeps the check on.  Not written to a new file.
    bool CheckTerminal = true;
    // [CommParam] NetAllowance: milliseconds added to the first-byte wait;
    // a missing key gives a network line (ComName tcp://... or
    // rfc2217://...) a few tens and a serial line none.  [CommParam]
    // ConnectTime: the limit of a network line's connection (3000).
    // Neither is written to a new file.
    static constexpr std::uint32_t kNetAllowanceByKind = 0xFFFFFFFFu;
    std::uint32_t NetAllowance = kNetAllowanceByKind;
    std::uint32_t ConnectTime = 3000;

    // The record as a line's timing and its transport's parameters; the
    // strings' storage is reused.  `network`: ComName names a network line
    // (UsesNetwork), which gets the network allowance unless one is set.
    void ApplyTo(LineTiming& timing, LineParams& params, bool network) const;
};

}  // namespace talvo
