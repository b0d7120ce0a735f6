#include "cli.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "host_library.h"
#include "library.h"
#include "records.h"
#include "store_file.h"
#include "values.h"

#ifndef _WIN32
#include "demo.h"
#endif
#ifdef TALVO_WITH_SERVICE_CLIENT
#include "service_terminal.h"
#endif

#ifndef TALVO_TOOL_VERSION
#define TALVO_TOOL_VERSION "0"
#endif

namespace talvo::cli {

// Every subcommand's arguments as typed, checked by validators while the
// command line is read.
struct Arguments {
    std::string text, key, card, amount, time, raw, file;
    std::vector<std::string> cards, amounts, zones, entries, timeWords;
    unsigned position = 0;
    int number = 0;
    std::string store = "talvo-records.dat";
    bool all = false;   // the default now; accepted for older scripts
    bool once = false;
    int count = 6;
    bool yes = false;
    bool csv = false;
    bool json = false;
    std::string dir;
};

namespace {

// Records a terminal hands over in one batch at the most.
constexpr int kFullBatch = 6;

}  // namespace

const char* const kTerms = R"(Terms:
  CMW        a parameter text of 12 characters that a payment terminal keeps;
             the tool writes it as given, a shorter text padded with 0.
  mdeb       a money parameter of a payment terminal, 0.00 to 9999.99.
  key flags  four yes/no flags a payment terminal reports about its card key,
             printed as 1 (set) or 0 (not set) in the terminal's order.
  records    transactions a payment terminal keeps until a host collects them.
             Type 05 is a payment (its amount counts negative), 13 a deposit,
             14 a subsidy.  `collect` stores them in a record store file and
             only then has the terminal clear them; `records` shows the file.
             Attendance terminals keep no records the library can collect:
             their zones, reasons and clock are set and read, nothing else.)";

const char* const kExitStatus =
    "0 success, 1 the terminal refused or the line failed (the cause on standard error), 2 a usage error or a file "
    "that cannot be used.";

void FinishHelp(CLI::App& app) {
    // The terms once, in the top help; a subcommand's help stays its own.
    std::function<void(CLI::App*)> footers = [&footers](CLI::App* a) {
        for (CLI::App* sub : a->get_subcommands(std::function<bool(CLI::App*)>([](CLI::App*) { return true; }))) {
            sub->footer("Options may stand before or after the subcommand.  Terms and exit status: talvo --help.");
            footers(sub);
        }
    };
    footers(&app);
    app.footer(std::string(kTerms) +
               "\n\nOptions may stand before or after the subcommand.  Exit status: 0 success,\n"
               "1 the terminal refused or the line failed (the cause on standard error),\n"
               "2 a usage error or a file that cannot be used."
#ifndef TALVO_WITH_SERVICE_CLIENT
               "\n\nThis build has no --service: the client of the talvod service is built on Linux only."
#endif
    );
}

namespace {

// --port: a device name, or a path that is not a file or a folder.
std::string CheckDevice(std::string& s) {
    if (s.empty() || s.size() > 99) return "a device name has 1 to 99 characters";
    for (unsigned char c : s) {
        if (c < 0x20) return "a device name holds no control characters";
    }
#ifndef _WIN32
    // A path that names a file or a folder: no line to open.
    struct stat st {};
    if (s.find('/') != std::string::npos && ::stat(s.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode)) return s + " is a regular file, not a serial device";
        if (S_ISDIR(st.st_mode)) return s + " is a folder, not a serial device";
    }
#endif
    return {};
}

// A range check whose text stays out of the help (the help says it).
CLI::Validator Within(int lo, int hi) { return CLI::Range(lo, hi).description(""); }

// A validator from one of the Parse functions.
template <class T>
CLI::Validator Checked(std::string (*parse)(const std::string&, T&)) {
    return CLI::Validator(
        [parse](std::string& text) {
            T value{};
            return parse(text, value);
        },
        "", "");
}

// Parses a value that its validator has passed.
template <class T>
T Value(std::string (*parse)(const std::string&, T&), const std::string& text) {
    T value{};
    parse(text, value);
    return value;
}

// The deepest subcommand that was given, for messages.
CLI::App* Deepest(CLI::App* app) {
    for (CLI::App* sub : app->get_subcommands()) return Deepest(sub);
    return app;
}

// Registers what a terminal subcommand does.  `check` runs once all its
// arguments are in (counts of a list) and throws a usage error; `before`
// runs before the library is loaded.
CLI::App* OnTerminal(CLI::App* sub, Invocation& run, std::function<int(Terminal&)> action,
                     std::function<void()> check = {}, std::function<bool(std::string&)> before = {}) {
    sub->callback([sub, &run, action, check, before] {
        if (check) check();
        run.what = CommandPath(sub);
        run.on_terminal = action;
        run.before = before;
    });
    return sub;
}

CLI::App* Local(CLI::App* sub, Invocation& run, std::function<int()> action) {
    sub->callback([sub, &run, action] {
        run.what = CommandPath(sub);
        run.local = action;
    });
    return sub;
}

// A clock's time given as one word or as two (date and time), checked
// whole: joined into `a.time`, or a usage error naming the argument.
std::function<void()> TimeWords(Arguments& a, std::string (*parse)(const std::string&, DateTime&)) {
    return [&a, parse] {
        a.time.clear();
        for (const std::string& w : a.timeWords) a.time += (a.time.empty() ? "" : " ") + w;
        DateTime when{};
        const std::string problem = parse(a.time, when);
        if (!problem.empty()) throw CLI::ValidationError("time", problem);
    };
}

// A list longer than one request carries.
std::function<void()> AtMost(const char* name, const std::vector<std::string>& list, std::size_t most) {
    return [name, &list, most] {
        if (list.size() > most) {
            throw CLI::ValidationError(name, "at most " + std::to_string(most) + " in one command, not " +
                                                 std::to_string(list.size()));
        }
    };
}

int Done(bool ok, const Invocation& run, const Terminal& t) { return ok ? 0 : Failed(run, t); }

// What a line of output says of its terminal: "terminal 3 ", or nothing
// where the prefix "terminal 3: " names it already.
std::string Subject(const Invocation& run) {
    return run.globals.terminals.size() > 1 ? std::string() : "terminal " + std::to_string(run.globals.terminal) + " ";
}

// "terminal 3", "terminals 1, 2 and 5", "terminals 1-4 and 7".
std::string TerminalsText(const std::vector<int>& numbers) {
    std::vector<std::string> parts;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
        if (j >= i + 2) {
            parts.push_back(std::to_string(numbers[i]) + "-" + std::to_string(numbers[j]));
        } else {
            j = i;
            parts.push_back(std::to_string(numbers[i]));
        }
        i = j + 1;
    }
    std::string text = numbers.size() == 1 ? "terminal " : "terminals ";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) text += i + 1 == parts.size() ? " and " : ", ";
        text += parts[i];
    }
    return text;
}

// What Print puts before each line: "terminal N: " while a run of several
// terminals talks to terminal N, else nothing.
std::string g_prefix;
bool g_lineStart = true;

void PrintVersions() {
    std::printf("talvo %s (the command-line tool)\n", TALVO_TOOL_VERSION);
    host::HostLibrary lib;
    std::string problem;
    if (!LoadWithoutPort(lib, problem)) {
        std::printf("library: cannot be loaded from %s (%s)\n", LibraryPath().c_str(), problem.c_str());
        return;
    }
    using VersionFn = const char*(TALVO_CALL*)();
    auto version = reinterpret_cast<VersionFn>(lib.Symbol("talvo_version"));
    if (version != nullptr) {
        std::printf("library: %s (%s)\n", version(), LibraryPath().c_str());
    } else {
        std::printf("library: 1.0, the 43 exports only (%s)\n", LibraryPath().c_str());
    }
}

// Loads the library for a subcommand that needs no terminal; false after
// saying why on standard error.
bool LoadLocal(host::HostLibrary& lib, const char* what) {
    std::string problem;
    if (LoadWithoutPort(lib, problem)) return true;
    std::fprintf(stderr, "talvo: %s: the library cannot be loaded: %s\n", what, problem.c_str());
    return false;
}

int Decode(const std::string& raw, int terminal) {
    host::HostLibrary lib;
    if (!LoadLocal(lib, "decode")) return 1;
    if (lib.talvo_record_from_store == nullptr) {
        std::fprintf(stderr, "talvo: decode: the library is older than the line API (%s)\n", LibraryPath().c_str());
        return 1;
    }
    unsigned char stored[44] = {};  // a store record, as SperateJyzmTxt writes it
    talvo_record r{};
    lib.SperateJyzmTxt(raw.c_str(), terminal, stored, 0);
    const int rc = lib.talvo_record_from_store(stored, &r);
    if (rc != TALVO_OK) {
        std::fprintf(stderr, "talvo: decode: the decoded record does not read back: %s\n", lib.talvo_strerror(rc));
        return 1;
    }
    const RecordTexts texts(r);
    // The check pair: the 8-bit sum of the 13 hex pairs before it.
    auto hex = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    int sum = 0;
    for (int i = 0; i < 26; i += 2) sum = (sum + 16 * hex(raw[i]) + hex(raw[i + 1])) & 0xFF;
    const bool intact = sum == 16 * hex(raw[26]) + hex(raw[27]);
    std::printf("terminal %s  card %s  type %s  amount %s  date %s  time %s  second %s  check %s\n",
                std::string(texts.Terminal()).c_str(), std::string(texts.Card()).c_str(),
                std::string(texts.Type()).c_str(), FormatCents(r.amount_cents).c_str(),
                std::string(texts.Date()).c_str(), std::string(texts.Time()).c_str(),
                FormatCents(r.second_amount_cents).c_str(), intact ? "ok" : "WRONG (a collection logs it as damaged)");
    return 0;
}

// What the subcommands of one family are added with.
struct Family {
    CLI::App& app;
    Invocation& run;
    Arguments& a;
    bool legacy;  // under `talvo legacy`: through the 43 exports
};

// A required positional argument.
CLI::Option* Required(CLI::App* sub, const char* name, std::string& into, const char* help) {
    return sub->add_option(name, into, help)->required();
}

// Prints a value the terminal read (`read` false: the failure instead).
template <class T>
std::function<int(Terminal&)> Shown(const Invocation& run, bool (Terminal::*read)(T&),
                                    std::function<void(const T&)> print) {
    return [&run, read, print](Terminal& t) {
        T value{};
        if (!(t.*read)(value)) return Failed(run, t);
        print(value);
        return 0;
    };
}

void AddStatus(const Family& f) {
    Invocation& run = f.run;
    OnTerminal(f.app.add_subcommand("status", "ask the terminal whether it answers; prints what it found"), run,
               [&run](Terminal& t) {
                   if (!t.Status()) return Failed(run, t);
                   // "terminal 1 answers...", or after the prefix of several.
                   Print("%sanswers and accepts commands\n", Subject(run).c_str());
                   return 0;
               });
}

void AddClearRam(const Family& f) {
    Invocation& run = f.run;
    Arguments& a = f.a;
    auto* clearRam = OnTerminal(
        f.app.add_subcommand("clear-ram", "clear the terminal's memory: its parameters, lists and records are lost"),
        run, [&run](Terminal& t) { return Done(t.ClearMemory(), run, t); },
        [&run, &a] {
            // What it clears is gone: someone at a keyboard says so.
            if (!a.yes && isatty(fileno(stdin)) != 0) {
                throw CLI::ValidationError("clear-ram clears the memory of " + TerminalsText(run.globals.terminals) +
                                           "; add --yes to go ahead");
            }
        });
    clearRam->add_flag("--yes", a.yes, "clear it: needed when standard input is a terminal");
}

// A value with `get`, which prints it, and `set`, which writes the one
// argument given.
template <class T, class W>
void AddGetSet(const Family& f, CLI::App* parent, bool (Terminal::*read)(T&), void (*print)(const T&),
               bool (Terminal::*write)(W), std::string (*parse)(const std::string&, T&), const char* argument,
               std::string& into, const char* help) {
    Invocation& run = f.run;
    OnTerminal(parent->add_subcommand("get", "print it"), run, Shown<T>(run, read, print));
    Required(OnTerminal(parent->add_subcommand("set", "write it"), run,
                        [&run, &into, write, parse](Terminal& t) { return Done((t.*write)(Value(parse, into)), run, t); }),
             argument, into, help)
        ->check(Checked(parse));
}

// CMW text and mdeb amount.
void AddCmw(const Family& f) {
    auto* cmw = f.app.add_subcommand("cmw", "the CMW parameter: a 12-character text a payment terminal keeps")
                    ->require_subcommand(1);
    AddGetSet(f, cmw, &Terminal::CmwRead, +[](const std::string& v) { Print("%s\n", v.c_str()); }, &Terminal::CmwSet,
              ParseCmw, "text", f.a.text,
              "1 to 12 printable characters without blanks; a shorter text is padded with 0 to 12");
}

void AddMdeb(const Family& f) {
    auto* mdeb = f.app.add_subcommand("mdeb", "the mdeb amount: a money parameter of a payment terminal")
                     ->require_subcommand(1);
    AddGetSet(f, mdeb, &Terminal::MdebRead,
              +[](const std::int32_t& cents) { Print("%s\n", FormatCents(cents).c_str()); }, &Terminal::MdebSet,
              ParseCents, "amount", f.a.amount, "0.00 to 9999.99, at most two decimals");
}

// Card key.
void AddKey(const Family& f) {
    Invocation& run = f.run;
    Arguments& a = f.a;
    auto* key = f.app.add_subcommand("key", "the card key: six hex digits a payment terminal checks cards against")
                    ->require_subcommand(1);
    struct KeyUse {
        const char* name;
        const char* help;
        bool (Terminal::*use)(const std::string& key);
    };
    for (const KeyUse& k : {KeyUse{"check", "ask the terminal whether KEY is its key (exit 1 when it is not)",
                                   &Terminal::KeyCheck},
                            KeyUse{"set", "give the terminal a new key", &Terminal::KeySet}}) {
        const auto use = k.use;
        Required(OnTerminal(key->add_subcommand(k.name, k.help), run,
                            [&run, &a, use](Terminal& t) { return Done((t.*use)(Value(ParseKey, a.key)), run, t); }),
                 "key", a.key, "six hex digits, 0-9 and A-F in either case")
            ->check(Checked(ParseKey));
    }
    OnTerminal(key->add_subcommand("flags", "print the four key flags: 1 (set) or 0 (not set) each"), run,
               Shown<std::array<int, 4>>(run, &Terminal::KeyFlags, [](const std::array<int, 4>& flags) {
                   Print("%d %d %d %d\n", flags[0], flags[1], flags[2], flags[3]);
               }));
}

void AddBlacklist(const Family& f) {
    Invocation& run = f.run;
    Arguments& a = f.a;
    auto* black = f.app.add_subcommand("blacklist", "the blacklist: card numbers a payment terminal refuses")
                      ->require_subcommand(1);
    auto cards = [&a](CLI::App* sub) {
        sub->add_option("cards", a.cards, "card numbers of exactly six digits each, 1 to 255 of them")
            ->required()
            ->check(Checked(ParseCard));
    };
    cards(OnTerminal(
        black->add_subcommand("add", "add cards"), run,
        [&run, &a](Terminal& t) { return Done(t.BlacklistAdd(a.cards), run, t); }, AtMost("cards", a.cards, 255)));
    Required(OnTerminal(black->add_subcommand("remove", "remove one card"), run,
                        [&run, &a](Terminal& t) { return Done(t.BlacklistRemove(a.card), run, t); }),
             "card", a.card, "a card number of exactly six digits")
        ->check(Checked(ParseCard));
    auto* set = OnTerminal(
        black->add_subcommand("set", "write cards at a list position, over what is there"), run,
        [&run, &a](Terminal& t) { return Done(t.BlacklistSet(a.position, a.cards), run, t); },
        AtMost("cards", a.cards, 255));
    set->add_option("position", a.position, "list position of the first card, 0 to 65535")
        ->required()
        ->check(Within(0, 65535));
    cards(set);
    OnTerminal(black->add_subcommand("read", "print up to 32 cards from a list position"), run,
               [&run, &a](Terminal& t) {
                   std::vector<std::string> got;
                   if (!t.BlacklistRead(a.position, got)) return Failed(run, t);
                   for (std::size_t i = 0; i < got.size(); ++i) Print("%5zu  %s\n", a.position + i, got[i].c_str());
                   Print("%zu card%s\n", got.size(), got.size() == 1 ? "" : "s");
                   return 0;
               })
        ->add_option("position", a.position, "list position to start at, 0 to 65535 (default 0)")
        ->check(Within(0, 65535));
    OnTerminal(black->add_subcommand("clear", "clear the blacklist"), run,
               [&run](Terminal& t) { return Done(t.BlacklistClear(), run, t); });
}

// Price menu.
void AddMenu(const Family& f) {
    Invocation& run = f.run;
    Arguments& a = f.a;
    auto* menu = f.app.add_subcommand("menu", "the price menu: the prices a payment terminal offers")
                     ->require_subcommand(1);
    OnTerminal(menu->add_subcommand("set", "replace the menu by these prices"), run,
               [&run, &a](Terminal& t) {
                   std::vector<std::int32_t> cents;
                   for (const std::string& p : a.amounts) cents.push_back(Value(ParseCents, p));
                   return Done(t.MenuSet(cents), run, t);
               },
               AtMost("prices", a.amounts, 255))
        ->add_option("prices", a.amounts, "1 to 255 prices, each 0.00 to 9999.99 with at most two decimals")
        ->required()
        ->check(Checked(ParseCents));
    OnTerminal(menu->add_subcommand("read", "print the prices"), run,
               Shown<std::vector<std::int32_t>>(run, &Terminal::MenuRead, [](const std::vector<std::int32_t>& cents) {
                   if (cents.empty()) Print("the menu is empty\n");
                   for (std::size_t i = 0; i < cents.size(); ++i) {
                       Print("%3zu  %8s\n", i + 1, FormatCents(cents[i]).c_str());
                   }
               }));
    OnTerminal(menu->add_subcommand("clear", "clear the menu"), run,
               [&run](Terminal& t) { return Done(t.MenuClear(), run, t); });
}

// Subsidy list.
void AddSubsidy(const Family& f) {
    Invocation& run = f.run;
    Arguments& a = f.a;
    auto* subsidy =
        f.app.add_subcommand("subsidy", "a payment terminal's subsidy list, maximum subsidy and subsidy time")
            ->require_subcommand(1);
    OnTerminal(subsidy->add_subcommand("clear", "clear the subsidy list"), run,
               [&run](Terminal& t) { return Done(t.SubsidyClear(), run, t); });
    Required(OnTerminal(subsidy->add_subcommand("max", "set the maximum subsidy"), run,
                        [&run, &a](Terminal& t) { return Done(t.SubsidyMax(Value(ParseCents, a.amount)), run, t); }),
             "amount", a.amount, "0.00 to 9999.99, at most two decimals")
        ->check(Checked(ParseCents));
    Required(OnTerminal(subsidy->add_subcommand("time", "send the subsidy time text"), run,
                        [&run, &a](Terminal& t) { return Done(t.SubsidyTime(a.text), run, t); }),
             "text", a.text, "1 to 1024 printable characters, laid out as the terminal expects; sent as it stands")
        ->check(Checked(ParseSubsidyTime));
    auto* subAdd = OnTerminal(
        subsidy->add_subcommand("add", "add entries to the subsidy list"), run,
        [&run, &a](Terminal& t) { return Done(t.SubsidyAdd(a.position, a.entries), run, t); },
        AtMost("entries", a.entries, 255));
    subAdd->add_option("--position", a.position, "list position of the first entry, 0 to 65535 (default 0)")
        ->check(Within(0, 65535));
    subAdd->add_option("entries", a.entries, "1 to 255 entries of exactly 12 printable characters each")
        ->required()
        ->check(Checked(ParseSubsidyEntry));
}

// A clock's `get` and `set`: a payment terminal's (to the minute) or an
// attendance terminal's (to the second).
void AddClockPair(const Family& f, CLI::App* clock, bool (Terminal::*read)(DateTime&),
                  bool (Terminal::*write)(const DateTime&), std::string (*parse)(const std::string&, DateTime&),
                  bool seconds, const char* timeHelp) {
    Invocation& run = f.run;
    Arguments& a = f.a;
    OnTerminal(clock->add_subcommand("get", "print it"), run,
               Shown<DateTime>(run, read, [seconds](const DateTime& when) {
                   Print("%s\n", FormatDateTime(when, seconds).c_str());
               }));
    OnTerminal(clock->add_subcommand("set", "set it"), run,
               [&run, &a, write, parse](Terminal& t) { return Done((t.*write)(Value(parse, a.time)), run, t); },
               TimeWords(a, parse))
        ->add_option("time", a.timeWords, timeHelp)
        ->required()
        ->expected(1, 2);
}

// Clock and time zones.
void AddClock(const Family& f) {
    auto* clock = f.app.add_subcommand("clock", "a payment terminal's clock (to the minute, years 2000 to 2099)")
                      ->require_subcommand(1);
    AddClockPair(f, clock, &Terminal::ClockRead, &Terminal::ClockSet, ParseClock, false,
                 "YYYY/MM/DD HH:MM (or YYYY-MM-DD HH:MM; one word or two), a date that exists; now: the "
                 "computer's clock");
}

void AddZones(const Family& f) {
    Invocation& run = f.run;
    Arguments& a = f.a;
    auto* zones = f.app.add_subcommand("zones", "a payment terminal's eight time zones (times of day)")
                      ->require_subcommand(1);
    OnTerminal(zones->add_subcommand("get", "print them"), run, Shown<Zones>(run, &Terminal::ZonesRead, [](const Zones& z) {
                   for (int k = 0; k < kZones; ++k) Print("%d  %s\n", k + 1, FormatTime(z[k]).c_str());
               }));
    OnTerminal(zones->add_subcommand("set", "set them"), run,
               [&run, &a](Terminal& t) {
                   Zones z{};
                   for (std::size_t k = 0; k < a.zones.size(); ++k) z[k] = Value(ParseTimeOfDay, a.zones[k]);
                   return Done(t.ZonesSet(z), run, t);
               },
               AtMost("zones", a.zones, kZones))
        ->add_option("zones", a.zones, "1 to 8 times of day HH:MM; the zones not given are set to 00:00")
        ->required()
        ->check(Checked(ParseTimeOfDay));
}

void AddLocking(const Family& f) {
    Invocation& run = f.run;
    OnTerminal(f.app.add_subcommand("lock", "block the terminal"), run,
               [&run](Terminal& t) { return Done(t.Lock(), run, t); });
    OnTerminal(f.app.add_subcommand("unlock", "unblock the terminal"), run,
               [&run](Terminal& t) { return Done(t.Unlock(), run, t); });
}

// Attendance terminals.
void AddAttend(const Family& f) {
    Invocation& run = f.run;
    Arguments& a = f.a;
    auto* attend = f.app.add_subcommand("attend",
                                        "attendance terminals: zones, reasons and clock (they keep no records the "
                                        "library collects)")
                       ->require_subcommand(1);
    auto* aZones = attend->add_subcommand("zones", "the eight attendance zones")->require_subcommand(1);
    OnTerminal(aZones->add_subcommand("get", "print them"), run,
               Shown<AttendZones>(run, &Terminal::AttendZonesRead, [](const AttendZones& z) {
                   for (int k = 0; k < kZones; ++k) {
                       Print("%d  %s-%s  %s\n", k + 1, FormatTime(z[k].start).c_str(), FormatTime(z[k].end).c_str(),
                             z[k].code.c_str());
                   }
               }));
    OnTerminal(aZones->add_subcommand("set", "set them"), run,
               [&run, &a](Terminal& t) {
                   AttendZones z{};
                   for (std::size_t k = 0; k < a.zones.size(); ++k) z[k] = Value(ParseAttendZone, a.zones[k]);
                   return Done(t.AttendZonesSet(z), run, t);
               },
               AtMost("zones", a.zones, kZones))
        ->add_option("zones", a.zones,
                     "1 to 8 zones HH:MM-HH:MM/CC: start, end and a two-character code; the zones not given are "
                     "set to 00:00-00:00/00")
        ->required()
        ->check(Checked(ParseAttendZone));
    auto* reason = attend->add_subcommand("reason", "the numbered reason texts")->require_subcommand(1);
    OnTerminal(reason->add_subcommand("get", "print a reason"), run,
               [&run, &a](Terminal& t) {
                   std::string value;
                   if (!t.ReasonRead(a.number, value)) return Failed(run, t);
                   Print("%s\n", value.c_str());
                   return 0;
               })
        ->add_option("number", a.number, "reason number, 0 to 255")
        ->required()
        ->check(Within(0, 255));
    auto* reasonSet = OnTerminal(reason->add_subcommand("set", "set a reason"), run,
                                 [&run, &a](Terminal& t) { return Done(t.ReasonSet(a.number, a.text), run, t); });
    reasonSet->add_option("number", a.number, "reason number, 0 to 255")->required()->check(Within(0, 255));
    reasonSet->add_option("text", a.text, "up to 8 bytes, no control characters")
        ->required()
        ->check(Checked(ParseReason));
    auto* aClock = attend->add_subcommand("clock", "the attendance clock (to the second)")->require_subcommand(1);
    AddClockPair(f, aClock, &Terminal::AttendClockRead, &Terminal::AttendClockSet, ParseAttendClock, true,
                 "YYYY/MM/DD HH:MM:SS (one word or two) or YYYYMMDDHHMMSS, a date that exists; now: the "
                 "computer's clock");
}

// `collect`: batch after batch into the store file until the terminal has
// none left (one with --once), with the running count on a screen.
int CollectIntoStore(const Invocation& run, const Arguments& a, bool legacy, Terminal& t) {
    const bool screen = isatty(fileno(stderr)) != 0 && !a.once;
    BatchResult sum;
    for (int batch = 1;; ++batch) {
        BatchResult b;
        if (!t.CollectBatch(a.store, b)) {
            if (screen) std::fprintf(stderr, "\n");
            if (sum.stored > 0) {
                std::fprintf(stderr, "talvo: collect: %s%d record%s stored in %s before this batch\n",
                             g_prefix.c_str(), sum.stored, sum.stored == 1 ? "" : "s", a.store.c_str());
            }
            return Failed(run, t);
        }
        sum.stored += b.stored;
        sum.received += b.received;
        sum.total_cents += b.total_cents;
        if (screen) {
            std::fprintf(stderr, "\r%sbatch %d: %d records stored, total %s", g_prefix.c_str(), batch, sum.stored,
                         FormatCents(sum.total_cents).c_str());
            std::fflush(stderr);
        }
        if (b.received == 0) break;
        if (a.once) {
            // A full batch: the terminal may hold more.
            if (b.received >= kFullBatch) {
                Print("the terminal may hold more records: run again, or without --once to take all\n");
            }
            break;
        }
    }
    if (screen) std::fprintf(stderr, "\n");
    Print("%d record%s stored in %s, total %s\n", sum.stored, sum.stored == 1 ? "" : "s", a.store.c_str(),
          FormatCents(sum.total_cents).c_str());
    const int dropped = sum.received - sum.stored;
    if (dropped > 0) {
        Print("%d damaged or unwanted record%s not stored (%s)\n", dropped, dropped == 1 ? "" : "s",
              legacy ? "the library logged them in ErrRec.doc" : "shown on standard error");
    }
    return 0;
}

// Records.
void AddCollect(const Family& f) {
    Invocation& run = f.run;
    Arguments& a = f.a;
    const bool legacy = f.legacy;
    auto* collect = OnTerminal(
        f.app.add_subcommand("collect",
                             "collect transaction records from a payment terminal into a record store file (each "
                             "batch is on disk before the terminal is told to clear it)"),
        run,
        [&run, &a, legacy](Terminal& t) {
#ifdef TALVO_WITH_SERVICE_CLIENT
            if (!run.globals.service.empty()) return CollectThroughService(run, t);
#endif
            return CollectIntoStore(run, a, legacy, t);
        },
        [&run, &a] {
            // Through a service, the service collects all there is into its
            // own database.
            if (!run.globals.service.empty() && (a.store != "talvo-records.dat" || a.once)) {
                throw CLI::ValidationError("collect --store and --once are not for --service: the service collects "
                                           "all the terminal holds into its database");
            }
        },
        [&a](std::string& problem) { return CheckStoreUsable(a.store, problem); });
    collect->add_option("--store", a.store, "record store file, created when missing (default talvo-records.dat); "
                                            "not with --service: the service collects into its database")
        ->type_name("FILE");
    collect->add_flag("--once", a.once, "one batch of up to six records (default: until the terminal has none left)");
    // Collecting everything is the default; --all stays for older scripts.
    collect->add_flag("--all", a.all)->group("");
}

void AddAck(const Family& f) {
    Invocation& run = f.run;
    Arguments& a = f.a;
    const bool legacy = f.legacy;
    auto* ack = OnTerminal(
        f.app.add_subcommand("ack", legacy ? "tell the terminal to clear records without reading them: they are lost"
                                           : "have the terminal clear its next batch of records without storing "
                                             "them: they are lost"),
        run,
        [&run, &a, legacy](Terminal& t) {
            int count = a.count;
            unsigned mark = 0;
            if (!t.Ack(count, mark)) return Failed(run, t);
            if (legacy) {
                Print("%scleared up to %d records; its batch mark is %u\n", Subject(run).c_str(), count, mark);
            } else if (count == 0) {
                Print("%shas no records\n", Subject(run).c_str());
            } else {
                Print("%scleared a batch of %d record%s without storing it; its batch mark is %u\n",
                      Subject(run).c_str(), count, count == 1 ? "" : "s", mark);
            }
            return 0;
        },
        [&run, &a] {
            if (!run.globals.service.empty()) {
                throw CLI::ValidationError("ack is not run through a service: the service clears only what it has "
                                           "stored (talvo --service URL collect)");
            }
            // Records cleared this way are gone: someone at a keyboard says so.
            if (!a.yes && isatty(fileno(stdin)) != 0) {
                throw CLI::ValidationError("ack clears records on " + TerminalsText(run.globals.terminals) +
                                           " that nobody has collected; add --yes to go ahead");
            }
        });
    if (legacy) ack->add_option("--count", a.count, "records to clear, 1 to 255 (default 6)")->check(Within(1, 255));
    ack->add_flag("--yes", a.yes, "clear them: needed when standard input is a terminal");
}

// One terminal number: the one a record's text carries.
void AddDecode(const Family& f) {
    Invocation& run = f.run;
    Arguments& a = f.a;
    auto* decode = f.app.add_subcommand("decode", "decode a raw record as the library does; needs no terminal");
    decode->callback([decode, &run, &a] {
        if (run.globals.terminals.size() > 1) {
            throw CLI::ValidationError("decode takes one terminal number (-t N), not a list");
        }
        run.what = CommandPath(decode);
        run.local = [&run, &a] { return Decode(a.raw, run.globals.terminal); };
    });
    decode
        ->add_option("raw", a.raw,
                     "28 characters as a terminal sends them: card (6), amount (6), type-and-month, month, day, "
                     "hour, minute, second amount (6) and the check pair (2); -t gives the terminal number")
        ->required()
        ->check(CLI::Validator([](std::string& s) { return ParseRawRecord(s); }, "", ""));
}

void AddRecords(const Family& f) {
    Arguments& a = f.a;
    auto* records = Local(f.app.add_subcommand("records", "show a record store file; never changes it"), f.run, [&a] {
        host::HostLibrary lib;
        if (!LoadLocal(lib, "records")) return 1;
        return PrintRecords(lib, a.file,
                            a.json ? RecordsFormat::kJson : a.csv ? RecordsFormat::kCsv : RecordsFormat::kTable);
    });
    records->add_option("file", a.file, "the record store file, as collect or a host writes it")
        ->required()
        ->type_name("FILE");
    auto* csv = records->add_flag("--csv", a.csv, "comma-separated values, one line per record");
    auto* json = records->add_flag("--json", a.json, "JSON: the records, their count and total");
    csv->excludes(json);
}

#ifndef _WIN32
void AddDemo(const Family& f) {
    Arguments& a = f.a;
    auto* demo = Local(f.app.add_subcommand("demo", "a walk through every family against a software terminal of its own"),
                       f.run, [&a] { return RunDemo(LibraryPath(), a.dir); });
    demo->add_option("--dir", a.dir, "folder for the store file and ErrRec.doc (default: a new one here)")
        ->type_name("DIR");
}
#endif

// The subcommands, in the order the help lists them.  A new one is a
// function above and a row here.
struct Command {
    void (*add)(const Family&);
    bool legacy;  // also under `talvo legacy`
};

constexpr Command kCommands[] = {
    {AddStatus, true},  {AddClearRam, true}, {AddCmw, true},   {AddMdeb, true},    {AddKey, true},
    {AddBlacklist, true}, {AddMenu, true},   {AddSubsidy, true}, {AddClock, true}, {AddZones, true},
    {AddLocking, true}, {AddAttend, true},   {AddCollect, true}, {AddAck, true},   {AddDecode, false},
    {AddRecords, false},
#ifndef _WIN32
    {AddDemo, false},
#endif
};

void AddCommands(CLI::App& app, Invocation& run, bool legacy) {
    const Family family{app, run, *run.arguments, legacy};
    for (const Command& c : kCommands) {
        if (c.legacy || !legacy) c.add(family);
    }
}

}  // namespace

std::string CommandPath(const CLI::App* sub) {
    std::string path;
    for (const CLI::App* a = sub; a != nullptr && a->get_parent() != nullptr; a = a->get_parent()) {
        path = path.empty() ? a->get_name() : a->get_name() + " " + path;
    }
    return path;
}

int Failed(const Invocation& run, const Terminal& t) {
    std::fprintf(stderr, "talvo: %s: %s%s\n", run.what.c_str(), g_prefix.c_str(), t.Problem().c_str());
    return t.ExitStatus();
}

void Print(const char* format, ...) {
    char small[512];
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string text;
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(n));
    } else if (n > 0) {
        text.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    if (g_prefix.empty()) {
        std::fputs(text.c_str(), stdout);
        return;
    }
    for (char c : text) {
        if (g_lineStart) std::fputs(g_prefix.c_str(), stdout);
        std::fputc(c, stdout);
        g_lineStart = c == '\n';
    }
}

int OnEachTerminal(Invocation& run, const std::function<int(int number)>& one) {
    const std::vector<int> numbers = run.globals.terminals;
    if (numbers.size() <= 1) {
        run.globals.terminal = numbers.empty() ? run.globals.terminal : numbers.front();
        return one(run.globals.terminal);
    }
    int worst = 0;
    std::vector<int> failed;
    for (int number : numbers) {
        run.globals.terminal = number;
        g_prefix = "terminal " + std::to_string(number) + ": ";
        g_lineStart = true;
        const int status = one(number);
        if (!g_lineStart) Print("\n");
        std::fflush(stdout);
        if (status != 0) failed.push_back(number);
        worst = status > worst ? status : worst;
    }
    g_prefix.clear();
    if (!failed.empty()) {
        std::fprintf(stderr, "talvo: %s: %zu of %zu terminals failed (%s)\n", run.what.c_str(), failed.size(),
                     numbers.size(), TerminalsText(failed).c_str());
    }
    return worst;
}

int UsageError(CLI::App& app, const CLI::ParseError& e) {
    CLI::App* where = Deepest(&app);
    const std::string help = where == &app ? "talvo --help" : "talvo " + CommandPath(where) + " --help";
    const std::vector<std::string> rest = app.remaining();
    if (!rest.empty()) {
        std::fprintf(stderr, "talvo: unknown command or argument '%s' (see %s)\n", rest.front().c_str(), help.c_str());
    } else {
        std::fprintf(stderr, "talvo: %s (see %s)\n", e.what(), help.c_str());
    }
    return 2;
}

namespace {

// The line and terminal options; the line's own ones are returned, for
// --service to exclude.
std::vector<CLI::Option*> AddLineOptions(CLI::App& app, Globals& g) {
    auto* port = app.add_option("--port", g.port,
                   "serial device: COM3, /dev/ttyUSB0, ttyS1 or a pty path (default COM2, which is /dev/ttyS1 on "
                   "Linux); or a device server: tcp://host:port, rfc2217://host:port")
        ->type_name("DEVICE")
        ->check(CLI::Validator(CheckDevice, "", ""));
    auto* baud = app.add_option("--baud", g.baud, "baud rate (default 4800)")
        ->type_name("RATE")
        ->check(CLI::Validator(
            [](std::string& s) {
                std::uint32_t v = 0;
                return ParseBaud(s, v);
            },
            "", ""));
    auto* format = app.add_option("--format", g.line, "line format (default \"parity=N data=8 stop=1\")")
        ->type_name("FORMAT")
        ->check(CLI::Validator([](std::string& s) { return ParseLineFormat(s); }, "", ""));
    auto* echo = app.add_option("--echo-time", g.echo_time,
                                "first-byte wait beyond the request's own time on the line, 0 to 60000 ms")
        ->type_name("MS")
        ->check(Within(0, 60000));
    auto* wait =
        app.add_option("--wait-time", g.wait_time, "longest collection of a reply, 0 to 60000 ms (0: one read)")
        ->type_name("MS")
        ->check(Within(0, 60000));
    auto* repeat = app.add_option("--repeat", g.repeat, "tries per command, 1 to 10 (default 3)")
                       ->type_name("N")
                       ->check(Within(1, 10));
    auto* filler = app.add_option("--filler", g.filler, "filler bytes behind each request, 0 to 30 (default 2)")
        ->type_name("N")
        ->check(Within(0, 30));
    app.add_option_function<std::string>(
           "-t,--terminal",
           [&g](const std::string& text) {
               ParseTerminals(text, g.terminals);
               g.terminal = g.terminals.front();
           },
           "terminal number, 0 to 255 (default 1); or several in turn: 1,2,5, 1-4 or 1-3,7 (each output line "
           "then begins with \"terminal N: \"; exit status the highest of theirs)")
        ->type_name("N[,N...]")
        ->check(Checked(ParseTerminals));
    auto* trace =
        app.add_flag("--trace", g.trace, "print every frame sent and received on standard error, in hex and text");
    return {port, baud, format, echo, wait, repeat, filler, trace};
}

#ifdef TALVO_WITH_SERVICE_CLIENT
// Through a service that holds the line: the line options are the
// service's, and it runs the command in its own queue.
void AddServiceOptions(CLI::App& app, Globals& g, const std::vector<CLI::Option*>& lineOptions) {
    auto* service = app.add_option("--service", g.service,
                                   "run the subcommand through the talvod service that holds the line, at "
                                   "http://HOST:PORT: same output and exit status; collect stores into the "
                                   "service's database, ack is not run")
                        ->type_name("URL")
                        ->check(CLI::Validator([](std::string& s) { return CheckServiceUrl(s); }, "", ""));
    for (CLI::Option* o : lineOptions) service->excludes(o);
    auto* token = app.add_option("--token", g.token, "the service's token (default: $TALVOD_TOKEN)")
                      ->type_name("TOKEN")
                      ->needs(service);
    app.add_option("--token-file", g.token_file, "a file whose first line is the service's token")
        ->type_name("PATH")
        ->needs(service)
        ->excludes(token)
        ->check(CLI::ExistingFile.description(""));
    app.add_option("--line", g.service_line,
                   "the service's line that has the terminal (default: the one line of the service that has it)")
        ->type_name("NAME")
        ->needs(service)
        ->check(CLI::Validator([](std::string& s) { return CheckLineName(s); }, "", ""));
}
#endif

// --version, and the man page and the completion script made from the
// help texts.
void AddToolFlags(CLI::App& app) {
    app.add_flag_callback("--version", [] {
        PrintVersions();
        throw CLI::Success();
    }, "print the versions of the tool and of the library it loads");
    app.add_flag_callback("--man-page", [&app] {
        std::fputs(ManPage(app, TALVO_TOOL_VERSION).c_str(), stdout);
        throw CLI::Success();
    })->group("");
    app.add_flag_callback("--bash-completion", [&app] {
        std::fputs(BashCompletion(app).c_str(), stdout);
        throw CLI::Success();
    })->group("");
}

// The same commands through the 43 exports.
void AddLegacy(CLI::App& app, Invocation& run) {
    auto* legacy = app.add_subcommand("legacy",
                                      "the same commands through the 43 exports, as a host program drives them: the "
                                      "line options go into a private settings file for the run")
                       ->require_subcommand(1);
    legacy->callback([&run] {
        if (!run.globals.service.empty()) {
            throw CLI::ValidationError("legacy drives the 43 exports on a line of its own: not with --service");
        }
        run.legacy = true;
    });
    AddCommands(*legacy, run, true);
}

}  // namespace

void BuildCli(CLI::App& app, Invocation& run) {
    run.arguments = std::make_shared<Arguments>();
    app.require_subcommand(1);
    app.fallthrough();
    const std::vector<CLI::Option*> lineOptions = AddLineOptions(app, run.globals);
#ifdef TALVO_WITH_SERVICE_CLIENT
    AddServiceOptions(app, run.globals, lineOptions);
#else
    (void)lineOptions;
#endif
    AddToolFlags(app);
    AddCommands(app, run, false);
#ifdef TALVO_WITH_SERVICE_CLIENT
    AddCardCommand(app, run);
#endif
    AddLegacy(app, run);
}

}  // namespace talvo::cli
