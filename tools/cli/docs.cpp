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

std::string Path(const CLI::App* app) {
    std::string path;
    for (const CLI::App* a = app; a != nullptr && a->get_parent() != nullptr; a = a->get_parent()) {
        path = path.empty() ? a->get_name() : a->get_name() + " " + path;
    }
    return path;
}

// The command's line: "talvo cmw set TEXT".
std::string Synopsis(CLI::App* app) {
    std::string out = "\\fBtalvo " + Roff(Path(app)) + "\\fR";
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
            out += ".SS \"" + Roff(Path(sub)) + "\"\n" + Synopsis(sub) + "\n.PP\n" + Roff(sub->get_description()) + "\n";
            Options(sub, out);
        } else {
            out += ".SS \"" + Roff(Path(sub)) + " ...\"\n" + Roff(sub->get_description()) + "\n";
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
    out += "        \"" + Path(app) + "\") echo \"" + words + "\" ;;\n";
    for (CLI::App* sub : Subcommands(app)) Words(sub, out);
}

// Options whose value is a file, a folder or a device, by the value's name.
void Values(CLI::App* app, std::string& files, std::string& devices) {
    for (CLI::Option* o : app->get_options()) {
        if (!Shown(o)) continue;
        const std::string type = o->get_type_name();
        std::string names;
        for (const std::string& l : o->get_lnames()) names += (names.empty() ? "--" : "|--") + l;
        if (o->get_positional() || names.empty()) continue;
        if (type == "FILE" || type == "DIR") files += (files.empty() ? "" : "|") + names;
        if (type == "DEVICE") devices += (devices.empty() ? "" : "|") + names;
    }
    for (CLI::App* sub : Subcommands(app)) Values(sub, files, devices);
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
    out += ".SH NOTES\n.nf\n" + Roff(app.get_footer()) + "\n.fi\n";
    return out;
}

std::string BashCompletion(CLI::App& app) {
    std::string words;
    Words(&app, words);
    std::string files;
    std::string devices;
    Values(&app, files, devices);
    std::string globals;
    for (CLI::Option* o : app.get_options()) {
        if (!Shown(o) || o->get_positional()) continue;
        for (const std::string& l : o->get_lnames()) globals += "--" + l + " ";
        for (const std::string& s : o->get_snames()) globals += "-" + s + " ";
    }
    std::string out = "# bash completion for talvo (made by talvo --bash-completion)\n";
    out += "_talvo_words() {\n    case \"$1\" in\n" + words + "    esac\n}\n";
    out += R"(_talvo() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} path="" word i
    case "$prev" in
)";
    if (!files.empty()) out += "        " + files + ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
    if (!devices.empty()) {
        out += "        " + devices + ") COMPREPLY=($(compgen -f -- \"${cur:-/dev/tty}\")); return ;;\n";
    }
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
