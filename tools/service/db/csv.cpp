#include "db/csv.h"

namespace talvo::service {

bool ReadCsv(const std::string& input, std::vector<CsvRecord>& out, std::string& error) {
    out.clear();
    std::string_view text = input;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    const std::string_view first = text.substr(0, text.find('\n'));
    const char sep = first.find(',') == std::string_view::npos && first.find(';') != std::string_view::npos ? ';' : ',';
    int line = 1;
    std::size_t i = 0;
    while (i < text.size()) {
        CsvRecord rec;
        rec.line = line;
        std::string field;
        bool quoted = false;
        for (;;) {
            if (i >= text.size()) break;
            const char c = text[i];
            if (field.empty() && c == '"' && !quoted) {
                // A quoted field: up to the closing quote, "" for a quote.
                quoted = true;
                ++i;
                for (;;) {
                    if (i >= text.size()) {
                        error = "line " + std::to_string(rec.line) + ": a quote is opened and never closed";
                        return false;
                    }
                    if (text[i] == '"') {
                        if (i + 1 < text.size() && text[i + 1] == '"') {
                            field += '"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (text[i] == '\n') ++line;
                    field += text[i++];
                }
                if (i < text.size() && text[i] != sep && text[i] != '\r' && text[i] != '\n') {
                    error = "line " + std::to_string(line) + ": text after a closing quote";
                    return false;
                }
                continue;
            }
            if (c == sep) {
                rec.fields.push_back(std::move(field));
                field.clear();
                quoted = false;
                ++i;
                continue;
            }
            if (c == '\r' || c == '\n') {
                i += c == '\r' && i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
                ++line;
                break;
            }
            field += c;
            ++i;
        }
        rec.fields.push_back(std::move(field));
        out.push_back(std::move(rec));
    }
    return true;
}

std::string CsvText(const std::string& value) {
    std::string s = value;
    if (!s.empty() && (s[0] == '=' || s[0] == '+' || s[0] == '-' || s[0] == '@')) s.insert(0, "'");
    if (s.find_first_of(",;\"\r\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string UnguardCsv(const std::string& s) {
    if (s.size() >= 2 && s[0] == '\'' && (s[1] == '=' || s[1] == '+' || s[1] == '-' || s[1] == '@')) return s.substr(1);
    return s;
}

}  // namespace talvo::service
