// Showing a record store file: a table with its total, CSV or JSON, one
// record at a time, so that a file of any size takes the same memory.
// Amounts are shown to the cent, totals are sums of cents.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "records.h"
#include "store_file.h"
#include "values.h"

namespace talvo::cli {
namespace {

// Standard output through a buffer of our own; remembers a failed write.
class Out {
public:
    Out() { text_.reserve(kFlushAt + 4096); }
    ~Out() { Flush(); }
    Out& operator<<(const std::string& s) {
        text_ += s;
        return Grow();
    }
    Out& operator<<(const char* s) {
        text_ += s;
        return Grow();
    }
    Out& operator<<(char c) {
        text_ += c;
        return Grow();
    }
    // Right- or left-aligned in `width` columns.
    Out& Pad(const std::string& s, int width, bool left = false) {
        const int fill = width - static_cast<int>(s.size());
        if (!left && fill > 0) text_.append(static_cast<std::size_t>(fill), ' ');
        text_ += s;
        if (left && fill > 0) text_.append(static_cast<std::size_t>(fill), ' ');
        return Grow();
    }
    bool Flush() {
        if (!failed_ && !text_.empty()) {
            if (std::fwrite(text_.data(), 1, text_.size(), stdout) != text_.size() || std::fflush(stdout) != 0) {
                failed_ = true;
                error_ = errno;
            }
        }
        text_.clear();
        return !failed_;
    }
    bool Failed() const { return failed_; }
    int Error() const { return error_; }

private:
    static constexpr std::size_t kFlushAt = 1 << 16;
    Out& Grow() {
        if (text_.size() >= kFlushAt) Flush();
        return *this;
    }
    std::string text_;
    bool failed_ = false;
    int error_ = 0;
};

std::string Csv(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string out = "\"";
    for (char c : field) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            // Bytes outside printable ASCII (a GBK card text, say) as the
            // code points of the same number, so the output stays valid.
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

int PrintRecords(const std::string& path, RecordsFormat format) {
    StoreReader store;
    std::string problem;
    if (!store.Open(path, problem)) {
        std::fprintf(stderr, "talvo: %s\n", problem.c_str());
        return 2;
    }
    Out out;
    std::int64_t total = 0;
    std::int64_t i = 0;
    StoredRecord r;
    if (format == RecordsFormat::kCsv) {
        out << "terminal,card,type,amount,date,time,second_amount\n";
    } else if (format == RecordsFormat::kJson) {
        out << "{\n  \"file\": " << Json(path) << ",\n  \"count\": " << std::to_string(store.Count())
            << ",\n  \"records\": [";
    } else {
        out.Pad("#", 7).Pad("", 2) << "term ";
        out.Pad("card", 8, true).Pad("type", 5, true).Pad("amount", 10).Pad("", 2).Pad("date", 12, true);
        out.Pad("time", 7, true).Pad("second", 9) << "\n";
    }
    while (!out.Failed() && store.Next(r, problem)) {
        const std::int64_t cents = CentsOf(r.amount);
        const std::string amount = FormatCents(cents);
        const std::string second = FormatCents(CentsOf(r.second_amount));
        total += cents;
        ++i;
        switch (format) {
            case RecordsFormat::kCsv:
                out << Csv(r.terminal) << ',' << Csv(r.card) << ',' << Csv(r.type) << ',' << amount << ','
                    << Csv(r.date) << ',' << Csv(r.time) << ',' << second << '\n';
                break;
            case RecordsFormat::kJson:
                out << (i == 1 ? "\n    " : ",\n    ") << "{\"terminal\": " << Json(r.terminal)
                    << ", \"card\": " << Json(r.card) << ", \"type\": " << Json(r.type) << ", \"amount\": " << amount
                    << ", \"date\": " << Json(r.date) << ", \"time\": " << Json(r.time)
                    << ", \"second_amount\": " << second << '}';
                break;
            case RecordsFormat::kTable:
                out.Pad(std::to_string(i), 7).Pad("", 2).Pad(r.terminal, 5, true).Pad(r.card, 8, true);
                out.Pad(r.type, 5, true).Pad(amount, 10).Pad("", 2).Pad(r.date, 12, true).Pad(r.time, 7, true);
                out.Pad(second, 9) << '\n';
                break;
        }
    }
    if (!problem.empty()) {
        out.Flush();
        std::fprintf(stderr, "talvo: %s\n", problem.c_str());
        return 2;
    }
    if (format == RecordsFormat::kJson) {
        out << (i > 0 ? "\n  ]" : "]") << ",\n  \"total\": " << FormatCents(total)
            << ",\n  \"leftover_bytes\": " << std::to_string(store.Leftover()) << "\n}\n";
    } else if (format == RecordsFormat::kTable) {
        out << "total: " << std::to_string(i) << (i == 1 ? " record, " : " records, ") << FormatCents(total) << '\n';
        if (store.Leftover() > 0) {
            out << "(" << std::to_string(store.Leftover())
                << " bytes behind the counted records: a withdrawn batch, not part of the store)\n";
        }
    }
    if (!out.Flush()) {
        // A reader that went away (`talvo records big | head`) is no fault.
        if (out.Error() != EPIPE) std::fprintf(stderr, "talvo: cannot write the output (%s)\n", std::strerror(out.Error()));
        return 1;
    }
    return 0;
}

}  // namespace talvo::cli
