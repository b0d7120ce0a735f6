// The man page and the bash completion script, both read off the command
// line's own tree, so they say what `--help` says.
#include <string>
#include <vector>

#include "cli.h"

namespace talvo::cli {
namespace {

std::vector<CLI::App*> Subcommands(CLI::App* app) {
    return app->get_subcommands(std::function<bool(CLI::App*)>([](CLI::App*) { return true; }));
}

bool Shown(const CLI::Option* o) { return !o->get_group().empty() && o->get_lnames() != std::vector<std::string>{"help"}; }

std::string Names(const CLI::Option* o) {
    std::string out;
    for (const std::string& s : o->get_snames()) out += (out.empty() ? "-" : ", -") + s;
    for (const std::string& l : o->get_lnames()) out += (out.empty() ? "--" : ", --") + l;
    return out;
}

// Text for roff: backslashes doubled, a leading dot or quote protected.
std::string Roff(const std::string& text) {
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && (c == '.' || c == '\'')) out += "\\&";
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
        lineStart = c == '\n';
    }
    return out;
}

// The command's line: "talvo cmw set TEXT".
std::string Synopsis(CLI::App* app) {
    std::string out = "\\fBtalvo " + Roff(CommandPath(app)) + "\\fR";
    for (CLI::Option* o : app->get_options()) {
        if (!Shown(o)) continue;
        if (o->get_positional()) {
            const bool many = o->get_items_expected_max() > 1;
            const std::string name = "\\fI" + Roff(o->get_name(true)) + "\\fR" + (many ? "..." : "");
            out += " " + (o->get_required() ? name : "[" + name + "]");
        } else {
            out += " [\\fB" + Roff(Names(o)) + "\\fR" +
                   (o->get_type_size() == 0 ? "" : " \\fI" + Roff(o->get_type_name()) + "\\fR") + "]";
        }
    }
    return out;
}

void Options(CLI::App* app, std::string& out) {
    for (CLI::Option* o : app->get_options()) {
        if (!Shown(o)) continue;
        out += ".TP\n";
        if (o->get_positional()) {
            out += "\\fI" + Roff(o->get_name(true)) + "\\fR\n";
        } else {
            out += "\\fB" + Roff(Names(o)) + "\\fR" +
                   (o->get_type_size() == 0 ? "" : " \\fI" + Roff(o->get_type_name()) + "\\fR") + "\n";
        }
        out += Roff(o->get_description()) + "\n";
    }
}

void Commands(CLI::App* app, std::string& out) {
    for (CLI::App* sub : Subcommands(app)) {
        const std::vector<CLI::App*> children = Subcommands(sub);
        if (children.empty()) {
            out += ".SS \"" + Roff(CommandPath(sub)) + "\"\n" + Synopsis(sub) + "\n.PP\n" + Roff(sub->get_description()) + "\n";
            Options(sub, out);
        } else {
            out += ".SS \"" + Roff(CommandPath(sub)) + " ...\"\n" + Roff(sub->get_description()) + "\n";
            Commands(sub, out);
        }
    }
}

// The words that may follow a command: its subcommands and options.
void Words(CLI::App* app, std::string& out) {
    std::string words;
    for (CLI::App* sub : Subcommands(app)) words += sub->get_name() + " ";
    for (CLI::Option* o : app->get_options()) {
        if (!Shown(o) || o->get_positional()) continue;
        for (const std::string& l : o->get_lnames()) words += "--" + l + " ";
        for (const std::string& s : o->get_snames()) words += "-" + s + " ";
    }
    out += "        \"" + CommandPath(app) + "\") echo \"" + words + "\" ;;\n";
    for (CLI::App* sub : Subcommands(app)) Words(sub, out);
}

// The values a validator lets through when it names them ("{day,hour}"
// for a set), else none.
std::vector<std::string> Choices(CLI::Option* o) {
    std::vector<std::string> choices;
    for (int i = 0;; ++i) {
        CLI::Validator* v = nullptr;
        try {
            v = o->get_validator(i);
        } catch (const CLI::OptionNotFound&) {
            break;
        }
        const std::string d = v->get_description();
        if (d.size() < 2 || d.front() != '{' || d.back() != '}') continue;
        std::string word;
        for (char c : d.substr(1, d.size() - 2) + ",") {
            if (c != ',') {
                word += c;
            } else if (!word.empty()) {
                choices.push_back(word);
                word.clear();
            }
        }
    }
    return choices;
}

// Options whose value is a file, a folder or a device, by the value's name,
// and options with a set of values.
struct ValueOptions {
    std::string files, devices, choices;
};

void Values(CLI::App* app, ValueOptions& out) {
    for (CLI::Option* o : app->get_options()) {
        if (!Shown(o)) continue;
        const std::string type = o->get_type_name();
        std::string names;
        for (const std::string& l : o->get_lnames()) names += (names.empty() ? "--" : "|--") + l;
        if (o->get_positional() || names.empty()) continue;
        if (type == "FILE" || type == "DIR") out.files += (out.files.empty() ? "" : "|") + names;
        if (type == "DEVICE") out.devices += (out.devices.empty() ? "" : "|") + names;
        const std::vector<std::string> choices = Choices(o);
        if (!choices.empty()) {
            std::string words;
            for (const std::string& c : choices) words += (words.empty() ? "" : " ") + c;
            out.choices += "        " + names + ") COMPREPLY=($(compgen -W \"" + words + "\" -- \"$cur\")); return ;;\n";
        }
    }
    for (CLI::App* sub : Subcommands(app)) Values(sub, out);
}

const char* const kExamples[][2] = {
    {"talvo --port /dev/ttyUSB0 --baud 9600 status", "Asks terminal 1 on a USB adapter whether it answers."},
    {"talvo -t 3 clock set now", "Sets the clock of terminal 3 on the default port to this computer's time."},
    {"talvo blacklist add 123456 654321", "Adds two cards to terminal 1's blacklist."},
    {"talvo collect --store records.dat", "Collects terminal 1's records into a record store file."},
    {"talvo -t 1,2,5 collect --store records.dat",
     "Collects terminals 1, 2 and 5 one after the other into one store file; each line of output begins with the "
     "terminal's number, and the exit status is not 0 when any of them failed."},
    {"talvo records records.dat --csv > records.csv", "Writes the store's records as CSV."},
    {"talvo cmw get --trace", "Reads the CMW text, showing every frame on standard error."},
    {"talvo legacy --port COM3 status", "The same question through the 43 exports, as an older host asks it."},
    {"talvo --service http://127.0.0.1:8080 --token-file ~/.talvod-token blacklist add 123456",
     "Adds a card to terminal 1's blacklist while talvod holds the line: the service runs the command on it."},
    {"talvo db totals --by terminal --config /etc/talvod/talvod.toml",
     "Totals per terminal from the collection service's database."},
};

const char* const kEnvironment[][2] = {
    {"TALVO_LIBRARY", "The library to load, as a path.  Without it: libtalvo.so.1 beside the program, in ../lib, "
                      "then the dynamic linker's search (TALVO.dll beside the program on Windows)."},
    {"TALVO_TRACE", "A file the library appends every frame to, or \"-\" for standard error (the legacy "
                    "commands; --trace shows the frames of the others)."},
    {"TMPDIR", "Where the legacy commands make their private settings file for the run."},
    {"TALVOD_TOKEN", "The token of the service --service names, when neither --token nor --token-file gives one."},
};

const char* const kFiles[][2] = {
    {"talvo-records.dat", "The record store file of collect when --store names none, in the current directory."},
    {"ErrRec.doc", "Damaged and unwanted raw records the library kept out of a collection, appended in the "
                   "current directory."},
    {"/etc/talvod/talvod.toml", "The collection service's configuration, read by talvo db when neither "
                                "--database nor --config is given."},
};

template <std::size_t N>
void Entries(const char* const (&entries)[N][2], std::string& out) {
    for (const auto& e : entries) out += ".TP\n\\fB" + Roff(e[0]) + "\\fR\n" + Roff(e[1]) + "\n";
}

}  // namespace

std::string ManPage(CLI::App& app, const std::string& version) {
    std::string out = ".TH TALVO 1 \"\" \"talvo " + version + "\" \"User Commands\"\n";
    out += ".SH NAME\ntalvo \\- " + Roff(app.get_description().substr(app.get_description().find(':') + 2)) + "\n";
    out += ".SH SYNOPSIS\n\\fBtalvo\\fR [\\fIoptions\\fR] \\fIcommand\\fR [\\fIarguments\\fR]\n";
    out += ".SH DESCRIPTION\ntalvo loads the talvo library as a host program does and runs one command on a "
           "terminal of the serial line.  Every argument is checked before anything is sent: a value the terminal "
           "does not take is a usage error and nothing reaches the line.\n";
    out += ".SH OPTIONS\n";
    Options(&app, out);
    out += ".SH COMMANDS\n";
    Commands(&app, out);
    out += ".SH EXIT STATUS\n" + Roff(kExitStatus) + "\n";
    out += ".SH ENVIRONMENT\n";
    Entries(kEnvironment, out);
    out += ".SH FILES\n";
    Entries(kFiles, out);
    out += ".SH EXAMPLES\n";
    for (const auto& e : kExamples) out += ".PP\n" + Roff(e[1]) + "\n.PP\n.RS\n.nf\n" + Roff(e[0]) + "\n.fi\n.RE\n";
    out += ".SH NOTES\n.nf\n" + Roff(kTerms) + "\n\nOptions may stand before or after the subcommand.\n.fi\n";
    out += ".SH SEE ALSO\n\\fBtalvod\\fR(8), \\fBtalvo\\-sim\\fR(1)\n";
    return out;
}

std::string BashCompletion(CLI::App& app) {
    std::string words;
    Words(&app, words);
    ValueOptions values;
    Values(&app, values);
    std::string globals;
    for (CLI::Option* o : app.get_options()) {
        if (!Shown(o) || o->get_positional()) continue;
        for (const std::string& l : o->get_lnames()) globals += "--" + l + " ";
        for (const std::string& s : o->get_snames()) globals += "-" + s + " ";
    }
    std::string out = "# bash completion for talvo (made by talvo --bash-completion)\n";
    out += "_talvo_words() {\n    case \"$1\" in\n" + words + "    esac\n}\n";
    // Serial devices: on-board ports, USB adapters, USB modems and the
    // adapters' stable names; any other path (a pseudo-terminal) by file
    // name.  _talvo_dev moves the search for tests.
    out += R"(_talvo_ports() {
    local dev=${_talvo_dev:-/dev} p
    for p in "$dev"/ttyS* "$dev"/ttyUSB* "$dev"/ttyACM* "$dev"/serial/by-id/*; do
        [[ -e $p && $p == "$1"* ]] && printf '%s\n' "$p"
    done
}
_talvo() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} path="" word i
    case "$prev" in
)";
    if (!values.files.empty()) out += "        " + values.files + ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
    if (!values.devices.empty()) {
        out += "        " + values.devices + R"() COMPREPLY=($(_talvo_ports "$cur"))
            [[ ${#COMPREPLY[@]} -eq 0 && -n $cur ]] && COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
)";
    }
    out += values.choices;
    out += R"(    esac
    # The command so far: the words that name subcommands, in order.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case " $(_talvo_words "$path") " in
            *" $word "*) [[ $word == -* ]] || path=${path:+$path }$word ;;
        esac
    done
    COMPREPLY=($(compgen -W "$(_talvo_words "$path") )";
    out += globals;
    out += R"(" -- "$cur"))
    [[ $path == records ]] && COMPREPLY+=($(compgen -f -- "$cur"))
}
complete -F _talvo talvo
)";
    return out;
}

}  // namespace talvo::cli
