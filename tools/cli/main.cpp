// talvo: the command-line host.  It loads the library at run time, as any
// host does, after it has written the settings the command line asked for.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "commands.h"
#include "host_library.h"
#include "private_settings.h"

using talvo::cli::Failed;

namespace {

struct Options {
    std::string port, line;
    int baud = 0, echoTime = -1, waitTime = -1, repeat = 0, filler = -1;
    int terminal = 1;
    bool trace = false;
};

std::string LibraryPath() {
    const char* own = std::getenv("TALVO_LIBRARY");
    if (own != nullptr && *own != '\0') return own;
#ifdef _WIN32
    return "TALVO.dll";
#else
    // Beside the program first (the build tree, an installed bin/../lib),
    // then wherever the system looks.
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir.resize(dir.rfind('/'));
        for (const std::string& candidate : {dir + "/libtalvo.so.1", dir + "/../lib/libtalvo.so.1"}) {
            if (access(candidate.c_str(), R_OK) == 0) return candidate;
        }
    }
    return "libtalvo.so.1";
#endif
}

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

// Everything a subcommand needs: the settings written and the library loaded.
class Session {
public:
    explicit Session(const Options& o) : options_(o) {}

    bool Start() {
        std::map<std::string, std::string> keys;
        if (!options_.port.empty()) keys["ComName"] = options_.port;
        if (options_.baud > 0) keys["BautRate"] = std::to_string(options_.baud);
        if (options_.echoTime >= 0) keys["EchoTime"] = std::to_string(options_.echoTime);
        if (options_.waitTime >= 0) keys["WaitTime"] = std::to_string(options_.waitTime);
        if (options_.repeat > 0) keys["Repeat"] = std::to_string(options_.repeat);
        if (options_.filler >= 0) keys["ConvertP"] = std::to_string(options_.filler);
        if (!options_.line.empty()) keys["StatStr"] = options_.line;
        std::string problem;
        if (!keys.empty()) {
            // Keys not given take the library's defaults for a new file.
            keys.emplace("EchoTime", "150");
            if (!settings_.Write(keys, problem)) {
                std::fprintf(stderr, "talvo: %s\n", problem.c_str());
                return false;
            }
        }
        if (options_.trace) SetEnv("TALVO_TRACE", "-");
        if (!lib.Load(LibraryPath(), nullptr, &problem)) {
            std::fprintf(stderr, "talvo: %s\n", problem.c_str());
            return false;
        }
        return true;
    }

    int Check(int result, const std::string& what) { return result == 1 ? 0 : Failed(lib, options_.terminal, what); }
    int terminal() const { return options_.terminal; }

    talvo::host::HostLibrary lib;

private:
    const Options& options_;
    talvo::cli::PrivateSettings settings_;
};

void FreeBlock(void* block) { talvo::host::FreeHostBlock(block); }

std::string Joined(const std::vector<std::string>& parts) {
    std::string all;
    for (const std::string& p : parts) all += p;
    return all;
}

// "HH:MM" (or "HHMM") into a time zone slot.
bool ZoneSlot(const std::string& text, char* slot) {
    std::string digits;
    for (char c : text) {
        if (c != ':') digits += c;
    }
    if (digits.size() != 4) return false;
    slot[0] = digits[0];
    slot[1] = digits[1];
    slot[2] = ':';
    slot[3] = digits[2];
    slot[4] = digits[3];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"talvo: drive card terminals through the talvo library", "talvo"};
    app.require_subcommand(1);
    app.add_option("--port", o.port, "serial device for this run (COM3, /dev/ttyUSB0, a pty path)");
    app.add_option("--baud", o.baud, "baud rate for this run")->check(CLI::PositiveNumber);
    app.add_option("--echo-time", o.echoTime, "first-byte wait, ms")->check(CLI::NonNegativeNumber);
    app.add_option("--wait-time", o.waitTime, "reply collection limit, ms")->check(CLI::NonNegativeNumber);
    app.add_option("--repeat", o.repeat, "tries per command")->check(CLI::Range(1, 10));
    app.add_option("--filler", o.filler, "filler bytes behind each request")->check(CLI::Range(0, 30));
    app.add_option("--line", o.line, "line format, such as \"parity=N data=8 stop=1\"");
    app.add_option("-t,--terminal", o.terminal, "terminal number (default 1)")->check(CLI::Range(0, 255));
    app.add_flag("--trace", o.trace, "print every frame sent and received on standard error");

    std::function<int(Session&)> action;
    bool needsLibrary = true;
    auto on = [&](CLI::App* sub, std::function<int(Session&)> run) {
        sub->callback([&action, run] { action = run; });
        return sub;
    };

    on(app.add_subcommand("status", "ask whether the terminal answers"),
       [](Session& s) { return s.Check(s.lib.InqStat(s.terminal()), "status"); });
    on(app.add_subcommand("clear-ram", "clear the terminal's memory"),
       [](Session& s) { return s.Check(s.lib.ClearRAM(s.terminal()), "clear-ram"); });

    // CMW text and mdeb amount.
    auto* cmw = app.add_subcommand("cmw", "the 12-character CMW parameter")->require_subcommand(1);
    on(cmw->add_subcommand("get", "read it"), [](Session& s) {
        char text[16] = {};
        if (s.lib.ReadCMW(s.terminal(), text) != 1) return Failed(s.lib, s.terminal(), "cmw get");
        std::printf("%s\n", text);
        return 0;
    });
    static std::string cmwText;
    on(cmw->add_subcommand("set", "write it (cut to 12, padded with 0)"), [](Session& s) {
        return s.Check(s.lib.Setcmw(s.terminal(), cmwText.c_str()), "cmw set");
    })->add_option("text", cmwText)->required();

    auto* mdeb = app.add_subcommand("mdeb", "the mdeb amount")->require_subcommand(1);
    on(mdeb->add_subcommand("get", "read it"), [](Session& s) {
        float amount = 0;
        if (s.lib.Readmdeb(s.terminal(), &amount) != 1) return Failed(s.lib, s.terminal(), "mdeb get");
        std::printf("%.2f\n", static_cast<double>(amount));
        return 0;
    });
    static double mdebAmount = 0;
    on(mdeb->add_subcommand("set", "write it (0 to 9999.99)"), [](Session& s) {
        return s.Check(s.lib.Setmdeb(s.terminal(), static_cast<float>(mdebAmount)), "mdeb set");
    })->add_option("amount", mdebAmount)->required()->check(CLI::Range(0.0, 9999.99));

    // Card key.
    auto* key = app.add_subcommand("key", "the card key")->require_subcommand(1);
    static std::string keyText;
    on(key->add_subcommand("check", "have the terminal check a key of six hex digits"), [](Session& s) {
        return s.Check(s.lib.CheckKey(s.terminal(), 0, 0, keyText.c_str()), "key check");
    })->add_option("key", keyText)->required();
    on(key->add_subcommand("set", "give the terminal a key of six hex digits"), [](Session& s) {
        return s.Check(s.lib.SetKey(s.terminal(), 0, 0, keyText.c_str()), "key set");
    })->add_option("key", keyText)->required();
    on(key->add_subcommand("flags", "read the four key flags"), [](Session& s) {
        int flags[4] = {};
        if (s.lib.Inqkey(s.terminal(), flags) != 1) return Failed(s.lib, s.terminal(), "key flags");
        std::printf("%d %d %d %d\n", flags[0], flags[1], flags[2], flags[3]);
        return 0;
    });

    // Blacklist.
    auto* black = app.add_subcommand("blacklist", "the blacklist (6-character entries)")->require_subcommand(1);
    static std::vector<std::string> entries;
    static int position = 0;
    on(black->add_subcommand("add", "add entries"), [](Session& s) {
        return s.Check(s.lib.AddHMD(s.terminal(), Joined(entries).c_str()), "blacklist add");
    })->add_option("entries", entries)->required();
    static std::string oneEntry;
    on(black->add_subcommand("remove", "remove one entry"), [](Session& s) {
        if (oneEntry.size() != 6) {
            std::fprintf(stderr, "talvo: an entry has exactly 6 characters\n");
            return 2;
        }
        return s.Check(s.lib.ReduHMD(s.terminal(), oneEntry.c_str()), "blacklist remove");
    })->add_option("entry", oneEntry)->required();
    auto* blackSet = on(black->add_subcommand("set", "write entries at a list position"), [](Session& s) {
        const std::string all = Joined(entries);
        if (all.size() % 6 != 0) {
            std::fprintf(stderr, "talvo: entries have exactly 6 characters\n");
            return 2;
        }
        return s.Check(s.lib.SetHMD(s.terminal(), position, all.c_str(), static_cast<int>(all.size() / 6)),
                       "blacklist set");
    });
    blackSet->add_option("position", position)->required()->check(CLI::Range(0, 65535));
    blackSet->add_option("entries", entries)->required();
    on(black->add_subcommand("read", "read up to 32 entries from a list position"), [](Session& s) {
        char* data = nullptr;
        int count = 0;
        if (s.lib.ReadHMD(s.terminal(), position, &data, &count) != 1) return Failed(s.lib, s.terminal(), "blacklist read");
        for (int i = 0; i < count; ++i) std::printf("%5d  %.6s\n", position + i, data + 6 * i);
        std::printf("%d entr%s\n", count, count == 1 ? "y" : "ies");
        if (data != nullptr) FreeBlock(data);
        return 0;
    })->add_option("position", position)->check(CLI::Range(0, 65535));
    on(black->add_subcommand("clear", "clear the blacklist"),
       [](Session& s) { return s.Check(s.lib.ClearHMD(s.terminal()), "blacklist clear"); });

    // Price menu.
    auto* menu = app.add_subcommand("menu", "the price menu")->require_subcommand(1);
    static std::vector<double> prices;
    on(menu->add_subcommand("set", "write the prices (0 to 9999.99)"), [](Session& s) {
        std::vector<float> p(prices.begin(), prices.end());
        return s.Check(s.lib.Setmenu(s.terminal(), p.data(), static_cast<int>(p.size())), "menu set");
    })->add_option("prices", prices)->required()->check(CLI::Range(0.0, 9999.99));
    on(menu->add_subcommand("read", "read the prices"), [](Session& s) {
        float* p = nullptr;
        int count = 0;
        if (s.lib.ReadMenu(s.terminal(), &p, &count) != 1) {
            if (s.lib.GetError() == 0) {
                std::printf("the menu is empty\n");
                return 0;
            }
            return Failed(s.lib, s.terminal(), "menu read");
        }
        for (int i = 0; i < count; ++i) std::printf("%3d  %8.2f\n", i + 1, static_cast<double>(p[i]));
        FreeBlock(p);
        return 0;
    });
    on(menu->add_subcommand("clear", "clear the menu"),
       [](Session& s) { return s.Check(s.lib.Clearmenu(s.terminal()), "menu clear"); });

    // Subsidy list.
    auto* subsidy = app.add_subcommand("subsidy", "the subsidy list")->require_subcommand(1);
    on(subsidy->add_subcommand("clear", "clear the list"),
       [](Session& s) { return s.Check(s.lib.ClearList(s.terminal()), "subsidy clear"); });
    static double maxAmount = 0;
    on(subsidy->add_subcommand("max", "set the maximum subsidy"), [](Session& s) {
        return s.Check(s.lib.SetMaxbt(s.terminal(), maxAmount), "subsidy max");
    })->add_option("amount", maxAmount)->required()->check(CLI::Range(0.0, 9999.99));
    static std::string btTime;
    on(subsidy->add_subcommand("time", "send the subsidy time text"), [](Session& s) {
        return s.Check(s.lib.SetBtTime(s.terminal(), btTime.c_str()), "subsidy time");
    })->add_option("text", btTime)->required();
    auto* subAdd = on(subsidy->add_subcommand("add", "add 12-character entries"), [](Session& s) {
        return s.Check(s.lib.AddBtList(s.terminal(), position, Joined(entries).c_str()), "subsidy add");
    });
    subAdd->add_option("--position", position, "list position")->check(CLI::Range(0, 65535));
    subAdd->add_option("entries", entries)->required();

    // Clock and time zones.
    auto* clock = app.add_subcommand("clock", "the terminal's clock")->require_subcommand(1);
    on(clock->add_subcommand("get", "read it"), [](Session& s) {
        char text[16] = {};
        if (s.lib.ReadMachTime(s.terminal(), text) != 1) return Failed(s.lib, s.terminal(), "clock get");
        std::printf("%s\n", text);
        return 0;
    });
    static std::string clockText;
    on(clock->add_subcommand("set", "set it: \"YYYY/MM/DD HH:MM\" or now"), [](Session& s) {
        const std::string text = clockText == "now" ? talvo::cli::Now(false) : clockText;
        if (text.size() < 16) {
            std::fprintf(stderr, "talvo: the clock text reads YYYY/MM/DD HH:MM (or now)\n");
            return 2;
        }
        return s.Check(s.lib.SetMachTime(s.terminal(), text.c_str()), "clock set");
    })->add_option("time", clockText)->required();

    auto* zones = app.add_subcommand("zones", "the eight time zones")->require_subcommand(1);
    on(zones->add_subcommand("get", "read them"), [](Session& s) {
        char* block = nullptr;
        s.lib.ReadTimeZone(s.terminal(), &block);
        const int error = s.lib.GetError();
        if (block != nullptr && error == 0) {
            for (int k = 0; k < 8; ++k) std::printf("%d  %s\n", k + 1, block + 15 * k);
        }
        if (block != nullptr) FreeBlock(block);
        return error == 0 ? 0 : Failed(s.lib, s.terminal(), "zones get");
    });
    static std::vector<std::string> zoneTexts;
    on(zones->add_subcommand("set", "set them: up to eight HH:MM"), [](Session& s) {
        char slots[120] = {};
        for (int k = 0; k < 8; ++k) ZoneSlot("00:00", slots + 15 * k);
        for (std::size_t k = 0; k < zoneTexts.size() && k < 8; ++k) {
            if (!ZoneSlot(zoneTexts[k], slots + 15 * k)) {
                std::fprintf(stderr, "talvo: a time zone reads HH:MM, not %s\n", zoneTexts[k].c_str());
                return 2;
            }
        }
        s.lib.SetTimeZone(s.terminal(), slots);
        return s.lib.GetError() == 0 ? 0 : Failed(s.lib, s.terminal(), "zones set");
    })->add_option("zones", zoneTexts)->required()->expected(1, 8);

    on(app.add_subcommand("lock", "block the terminal"),
       [](Session& s) { return s.Check(s.lib.BlockMach(s.terminal()), "lock"); });
    on(app.add_subcommand("unlock", "unblock the terminal"),
       [](Session& s) { return s.Check(s.lib.UnBlockMach(s.terminal()), "unlock"); });

    // Attendance terminals.
    auto* attend = app.add_subcommand("attend", "attendance terminals")->require_subcommand(1);
    auto* aZones = attend->add_subcommand("zones", "the eight attendance zones")->require_subcommand(1);
    on(aZones->add_subcommand("get", "read them"), [](Session& s) {
        char* block = nullptr;
        s.lib.ReadAttendTimeZone(s.terminal(), &block);
        const int error = s.lib.GetError();
        if (block != nullptr && error == 0) {
            for (int k = 0; k < 8; ++k) {
                const char* slot = block + 15 * k;
                std::printf("%d  %s-%s  %s\n", k + 1, slot, slot + 6, slot + 12);
            }
        }
        if (block != nullptr) FreeBlock(block);
        return error == 0 ? 0 : Failed(s.lib, s.terminal(), "attend zones get");
    });
    on(aZones->add_subcommand("set", "set them: up to eight HH:MM-HH:MM/CC"), [](Session& s) {
        char slots[120] = {};
        for (std::size_t k = 0; k < 8; ++k) {
            const std::string z = k < zoneTexts.size() ? zoneTexts[k] : "00:00-00:00/00";
            char* slot = slots + 15 * k;
            if (z.size() != 14 || z[5] != '-' || z[11] != '/' || !ZoneSlot(z.substr(0, 5), slot) ||
                !ZoneSlot(z.substr(6, 5), slot + 6)) {
                std::fprintf(stderr, "talvo: an attendance zone reads HH:MM-HH:MM/CC, not %s\n", z.c_str());
                return 2;
            }
            slot[12] = z[12];
            slot[13] = z[13];
        }
        s.lib.SetAttendTimeZone(s.terminal(), slots);
        return s.lib.GetError() == 0 ? 0 : Failed(s.lib, s.terminal(), "attend zones set");
    })->add_option("zones", zoneTexts)->required()->expected(1, 8);
    auto* reason = attend->add_subcommand("reason", "numbered reason texts")->require_subcommand(1);
    static int reasonNo = 0;
    static std::string reasonText;
    on(reason->add_subcommand("get", "read a reason"), [](Session& s) {
        char text[16] = {};
        if (s.lib.ReadAttendReason(s.terminal(), reasonNo, text) != 1) return Failed(s.lib, s.terminal(), "attend reason get");
        std::printf("%s\n", text);
        return 0;
    })->add_option("number", reasonNo)->required()->check(CLI::Range(0, 255));
    auto* reasonSet = on(reason->add_subcommand("set", "set a reason (up to 8 bytes)"), [](Session& s) {
        if (reasonText.size() > 8) {
            std::fprintf(stderr, "talvo: a reason has at most 8 bytes\n");
            return 2;
        }
        char bytes[8];
        std::memset(bytes, 0x0F, sizeof bytes);  // 0x0F ends a shorter reason
        std::memcpy(bytes, reasonText.data(), reasonText.size());
        return s.Check(s.lib.SetAttendReason(s.terminal(), reasonNo, bytes), "attend reason set");
    });
    reasonSet->add_option("number", reasonNo)->required()->check(CLI::Range(0, 255));
    reasonSet->add_option("text", reasonText)->required();
    auto* aClock = attend->add_subcommand("clock", "the attendance clock")->require_subcommand(1);
    on(aClock->add_subcommand("get", "read it"), [](Session& s) {
        char text[16] = {};
        if (s.lib.ReadAttendTime(s.terminal(), text) != 1) return Failed(s.lib, s.terminal(), "attend clock get");
        std::printf("%.14s\n", text);
        return 0;
    });
    on(aClock->add_subcommand("set", "set it: YYYYMMDDHHMMSS or now"), [](Session& s) {
        const std::string text = clockText == "now" ? talvo::cli::Now(true) : clockText;
        return s.Check(s.lib.SetAttendTime(s.terminal(), text.c_str()), "attend clock set");
    })->add_option("time", clockText)->required();

    // Records.
    static std::string storePath = "talvo-records.dat";
    static bool all = false;
    auto* collect = on(app.add_subcommand("collect", "collect records into a store file"), [](Session& s) {
        const bool screen = isatty(fileno(stderr)) != 0;
        int stored = 0;
        double sum = 0;
        for (int batch = 1;; ++batch) {
            int count = 0;
            float total = 0;
            if (s.lib.AutoReadJyzm(s.terminal(), &count, &total, storePath.c_str()) != 1) {
                if (screen && all) std::fprintf(stderr, "\n");
                return Failed(s.lib, s.terminal(), "collect");
            }
            stored += count;
            sum += static_cast<double>(total);
            if (screen && all) {
                std::fprintf(stderr, "\rbatch %d: %d records stored, total %.2f", batch, stored, sum);
                std::fflush(stderr);
            }
            if (!all || count == 0) break;
        }
        if (screen && all) std::fprintf(stderr, "\n");
        std::printf("%d record%s stored in %s, total %.2f\n", stored, stored == 1 ? "" : "s", storePath.c_str(), sum);
        return 0;
    });
    collect->add_option("--store", storePath, "record store file (default talvo-records.dat)");
    collect->add_flag("--all", all, "collect until the terminal has no records left");
    static int ackCount = 6;
    on(app.add_subcommand("ack", "tell the terminal to clear records without reading them"), [](Session& s) {
        unsigned short mark = 0;
        if (s.lib.Clearjyzm(s.terminal(), ackCount, &mark) != 1) return Failed(s.lib, s.terminal(), "ack");
        std::printf("acknowledged; mark %u\n", mark);
        return 0;
    })->add_option("--count", ackCount, "records to clear (default 6)")->check(CLI::Range(0, 255));
    static std::string raw;
    on(app.add_subcommand("decode", "decode a 28-character raw record"), [](Session& s) {
        if (raw.size() != 28) {
            std::fprintf(stderr, "talvo: a raw record has 28 characters, not %zu\n", raw.size());
            return 2;
        }
        unsigned char record[44] = {};
        s.lib.SperateJyzmTxt(raw.c_str(), s.terminal(), record, 0);
        float amount;
        float second;
        std::memcpy(&amount, record + 16, 4);
        std::memcpy(&second, record + 40, 4);
        std::printf("terminal %s  card %s  type %s  amount %.2f  date %s  time %s  second %.2f\n",
                    reinterpret_cast<char*>(record), reinterpret_cast<char*>(record + 4),
                    reinterpret_cast<char*>(record + 11), static_cast<double>(amount),
                    reinterpret_cast<char*>(record + 20), reinterpret_cast<char*>(record + 31),
                    static_cast<double>(second));
        return 0;
    })->add_option("raw", raw)->required();

    static std::string recordsFile;
    static bool csv = false;
    static bool json = false;
    auto* records = app.add_subcommand("records", "show a record store file (never changes it)");
    records->add_option("file", recordsFile)->required();
    records->add_flag("--csv", csv, "comma-separated values");
    records->add_flag("--json", json, "JSON");
    records->callback([&] {
        needsLibrary = false;
        action = [](Session&) { return talvo::cli::PrintRecords(recordsFile, json ? "json" : csv ? "csv" : "table"); };
    });

    static std::string demoDir;
    auto* demo = app.add_subcommand("demo", "a walk through every family against a software terminal");
    demo->add_option("--dir", demoDir, "directory for the store file and ErrRec.doc");
    demo->callback([&] {
        needsLibrary = false;
        action = [](Session& s) {
#ifdef _WIN32
            (void)s;
            std::fprintf(stderr, "talvo: the demo runs on Linux, where it starts the software terminal itself\n");
            return 2;
#else
            return talvo::cli::RunDemo(s.lib, LibraryPath(), demoDir);
#endif
        };
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        const std::vector<std::string> rest = app.remaining();
        if (!rest.empty()) {
            std::fprintf(stderr, "talvo: unknown command or argument '%s' (see talvo --help)\n", rest.front().c_str());
        } else {
            std::fprintf(stderr, "talvo: %s (see talvo --help)\n", e.what());
        }
        return 2;
    }
    Session session(o);
    if (needsLibrary && !session.Start()) return 1;
    return action(session);
}
