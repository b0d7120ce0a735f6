#include "platform/profile_text.h"

namespace talvo {
namespace {

// Blanks as the profile functions see them: tab, line feed, vertical tab,
// form feed, carriage return, space, and ^Z (an old end-of-file mark).
bool IsBlank(char c) { return (c >= 0x09 && c <= 0x0d) || c == 0x1a || c == ' '; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Names and values end at a zero byte, as C strings do.
std::string_view UpToZero(std::string_view s) {
    const std::size_t zero = s.find('\0');
    return zero == std::string_view::npos ? s : s.substr(0, zero);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

}  // namespace

ProfileText::ProfileText(std::string text) : text_(std::move(text)) {
    const std::string_view all(text_);
    auto span = [&all](std::string_view part) {
        part = UpToZero(part);
        return Span{static_cast<std::size_t>(part.data() - all.data()), part.size()};
    };
    if (all.empty()) return;
    // Lines before the first section header belong to a section without a name.
    sections_.push_back(Section{Span{}, 0, 0});
    std::size_t next = 0;
    while (next < all.size()) {
        // A line ends at a run of carriage returns and line feeds.
        const std::size_t start = next;
        while (next < all.size() && all[next] != '\n' && all[next] != '\r') ++next;
        const std::size_t end = next;
        while (next < all.size() && (all[next] == '\n' || all[next] == '\r')) ++next;
        const std::string_view line = Trim(all.substr(start, end - start));
        if (line.empty()) continue;

        if (line.front() == '[') {
            // The name runs to the last ']' of the line; a line without one
            // is read as a key line below.
            const std::size_t close = line.rfind(']');
            if (close != std::string_view::npos) {
                sections_.push_back(Section{span(Trim(line.substr(1, close - 1))), keys_.size(), 0});
                continue;
            }
        }
        Key key;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            key.name = span(line);
        } else {
            key.name = span(Trim(line.substr(0, eq)));
            key.value = span(Trim(line.substr(eq + 1)));
            key.hasValue = true;
        }
        keys_.push_back(key);
        ++sections_.back().keyCount;
    }
}

bool ProfileText::Find(std::string_view section, std::string_view key, std::string_view& value) const {
    section = Trim(section);
    key = Trim(key);
    // Only the first section of that name is searched: keys in a second
    // section of the same name are not found.
    for (const Section& s : sections_) {
        if (!SameName(View(s.name), section)) continue;
        for (std::size_t i = s.firstKey; i < s.firstKey + s.keyCount; ++i) {
            if (!SameName(View(keys_[i].name), key)) continue;
            if (!keys_[i].hasValue) return false;
            value = View(keys_[i].value);
            return true;
        }
        return false;
    }
    return false;
}

std::string ProfileText::String(std::string_view section, std::string_view key, std::string_view def,
                                std::size_t capacity) const {
    if (capacity == 0) return std::string();
    std::string_view value;
    if (!Find(section, key, value)) {
        value = UpToZero(def);
        // Trailing spaces go, but a default of spaces only keeps one.
        while (value.size() > 1 && value.back() == ' ') value.remove_suffix(1);
    }
    // One pair of enclosing quotes is dropped.  The closing quote goes with
    // the last character kept whenever the buffer holds no more than the
    // value without its opening quote, so a value that fills the buffer
    // exactly loses one character more (the Win32 reader does the same).
    char quote = '\0';
    if (value.size() > 1 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        quote = value.front();
        value.remove_prefix(1);
    }
    std::string out(value.substr(0, capacity - 1));
    if (quote != '\0' && capacity >= value.size() && !out.empty()) out.pop_back();
    return out;
}

std::uint32_t ProfileText::Int(std::string_view section, std::string_view key, std::uint32_t def) const {
    const std::string text = String(section, key, "", 30);
    if (text.empty()) return def;
    std::string_view s(text);
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    std::uint32_t base = 10;
    if (s.size() >= 2 && s[0] == '0') {
        if (s[1] == 'x') base = 16;
        else if (s[1] == 'o') base = 8;
        else if (s[1] == 'b') base = 2;
        if (base != 10) s.remove_prefix(2);
    }
    std::uint32_t result = 0;
    for (char c : s) {
        std::uint32_t digit;
        if (c >= '0' && c <= '9') digit = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'Z') digit = static_cast<std::uint32_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'z') digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else break;
        if (digit >= base) break;
        result = result * base + digit;
    }
    return negative ? 0u - result : result;
}

}  // namespace talvo
