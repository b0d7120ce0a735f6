#include "shell/float_format.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace talvo {
namespace {

struct Conversion {
    std::string flags;
    int width = -1;
    int precision = -1;
    char type = 0;
};

// Parses the conversion that starts after a '%'; returns the index past it.
bool ParseConversion(const char* f, std::size_t& i, Conversion& c) {
    while (f[i] != '\0' && std::strchr("-+ #0", f[i]) != nullptr) c.flags += f[i++];
    if (f[i] >= '0' && f[i] <= '9') {
        c.width = 0;
        while (f[i] >= '0' && f[i] <= '9') {
            c.width = c.width * 10 + (f[i++] - '0');
            if (c.width > 4096) return false;
        }
    }
    if (f[i] == '.') {
        ++i;
        c.precision = 0;
        while (f[i] >= '0' && f[i] <= '9') {
            c.precision = c.precision * 10 + (f[i++] - '0');
            if (c.precision > 4096) return false;
        }
    }
    if (f[i] == 'l') ++i;  // "%lf" means the same as "%f"
    if (f[i] == '\0' || std::strchr("eEfFgGaA", f[i]) == nullptr) return false;
    c.type = f[i++];
    return true;
}

std::string WidenExponent(const std::string& text, char type) {
    if (std::strchr("eEgG", type) == nullptr) return text;
    std::size_t at = text.find_first_of("eE");
    if (at == std::string::npos || at + 1 >= text.size()) return text;
    if (text[at + 1] != '+' && text[at + 1] != '-') return text;
    std::size_t digits = 0;
    while (at + 2 + digits < text.size() && text[at + 2 + digits] >= '0' && text[at + 2 + digits] <= '9') ++digits;
    if (digits >= 3) return text;
    std::string out = text;
    out.insert(at + 2, 3 - digits, '0');
    return out;
}

std::string Format(const Conversion& c, double value) {
    // Format without the width first, so that the exponent can be widened,
    // then pad to the width as printf would have.
    std::string spec = "%";
    for (char flag : c.flags) {
        if (flag != '-' && flag != '0') spec += flag;
    }
    if (c.precision >= 0) spec += "." + std::to_string(c.precision);
    spec += c.type;
    const int need = std::snprintf(nullptr, 0, spec.c_str(), value);
    std::string text(need > 0 ? static_cast<std::size_t>(need) : 0u, '\0');
    if (need > 0) std::snprintf(text.data(), text.size() + 1, spec.c_str(), value);
    text = WidenExponent(text, c.type);

    if (c.width < 0 || text.size() >= static_cast<std::size_t>(c.width)) return text;
    const std::size_t pad = static_cast<std::size_t>(c.width) - text.size();
    if (c.flags.find('-') != std::string::npos) return text + std::string(pad, ' ');
    if (c.flags.find('0') != std::string::npos && std::isfinite(value)) {
        std::size_t at = 0;
        if (!text.empty() && (text[0] == '+' || text[0] == '-' || text[0] == ' ')) at = 1;
        if ((c.type == 'a' || c.type == 'A') && text.size() >= at + 2 && text[at] == '0' &&
            (text[at + 1] == 'x' || text[at + 1] == 'X')) {
            at += 2;
        }
        return text.insert(at, pad, '0');
    }
    return std::string(pad, ' ') + text;
}

}  // namespace

bool FormatOneFloat(const char* format, double value, std::string& out) {
    out.clear();
    if (format == nullptr) return false;
    int conversions = 0;
    std::string result;
    for (std::size_t i = 0; format[i] != '\0';) {
        if (format[i] != '%') {
            result += format[i++];
            continue;
        }
        ++i;
        if (format[i] == '%') {
            result += '%';
            ++i;
            continue;
        }
        Conversion c;
        if (!ParseConversion(format, i, c) || ++conversions > 1) return false;
        result += Format(c, value);
    }
    if (conversions != 1) return false;
    out = result;
    return true;
}

}  // namespace talvo
