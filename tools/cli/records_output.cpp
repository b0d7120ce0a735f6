// Showing a record store file: a table with its total, CSV or JSON, one
// record at a time straight from its 44 bytes into an output buffer, so that
// a file of any size takes the same memory and little more time than reading
// it.  Amounts are shown to the cent; totals are sums of cents.
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
    ~Out() { Flush(); }

    void Put(char c) {
        if (used_ == sizeof buffer_) Flush();
        buffer_[used_++] = c;
    }
    void Put(const char* s, std::size_t n) {
        if (used_ + n > sizeof buffer_) Flush();
        if (n > sizeof buffer_) {
            Write(s, n);
            return;
        }
        std::memcpy(buffer_ + used_, s, n);
        used_ += n;
    }
    void Put(const std::string& s) { Put(s.data(), s.size()); }
    void Spaces(int n) {
        for (int i = 0; i < n; ++i) Put(' ');
    }
    // An amount in cents, "-12.50", right-aligned in `width` columns; a
    // whole number with `point` false.
    void Number(std::int64_t value, int width = 0, bool point = true) {
        char text[32];
        char* end = text + sizeof text;
        char* p = end;
        const bool negative = value < 0;
        std::uint64_t v = negative ? static_cast<std::uint64_t>(-(value + 1)) + 1 : static_cast<std::uint64_t>(value);
        if (point) {
            *--p = static_cast<char>('0' + v % 10);
            v /= 10;
            *--p = static_cast<char>('0' + v % 10);
            v /= 10;
            *--p = '.';
        }
        do {
            *--p = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        if (negative) *--p = '-';
        Spaces(width - static_cast<int>(end - p));
        Put(p, static_cast<std::size_t>(end - p));
    }
    void Cents(std::int64_t cents) { Number(cents); }
    bool Flush() {
        Write(buffer_, used_);
        used_ = 0;
        return !failed_;
    }
    bool Failed() const { return failed_; }
    int Error() const { return error_; }

private:
    void Write(const char* s, std::size_t n) {
        if (failed_ || n == 0) return;
        if (std::fwrite(s, 1, n, stdout) != n || std::fflush(stdout) != 0) {
            failed_ = true;
            error_ = errno;
        }
    }
    char buffer_[1 << 16];
    std::size_t used_ = 0;
    bool failed_ = false;
    int error_ = 0;
};

// A zero-terminated text field of a record, at most `size` bytes.
struct Field {
    const char* text;
    std::size_t size;
};

Field At(const unsigned char* record, std::size_t offset, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(record + offset);
    const void* zero = std::memchr(text, 0, size);
    return {text, zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - text) : size};
}

void Csv(Out& out, Field f) {
    bool quote = false;
    for (std::size_t i = 0; i < f.size && !quote; ++i) {
        const char c = f.text[i];
        quote = c == ',' || c == '"' || c == '\r' || c == '\n';
    }
    if (!quote) {
        out.Put(f.text, f.size);
        return;
    }
    out.Put('"');
    for (std::size_t i = 0; i < f.size; ++i) {
        if (f.text[i] == '"') out.Put('"');
        out.Put(f.text[i]);
    }
    out.Put('"');
}

void Json(Out& out, Field f) {
    out.Put('"');
    for (std::size_t i = 0; i < f.size; ++i) {
        const auto c = static_cast<unsigned char>(f.text[i]);
        if (c == '"' || c == '\\') {
            out.Put('\\');
            out.Put(static_cast<char>(c));
        } else if (c < 0x20 || c >= 0x7F) {
            // Bytes outside printable ASCII (a GBK card text, say) as the
            // code points of the same number, so the output stays valid.
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out.Put(esc, 6);
        } else {
            out.Put(static_cast<char>(c));
        }
    }
    out.Put('"');
}

void Json(Out& out, const std::string& text) { Json(out, Field{text.data(), text.size()}); }

// Left-aligned in `width` columns.
void Left(Out& out, Field f, int width) {
    out.Put(f.text, f.size);
    out.Spaces(width - static_cast<int>(f.size));
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
    switch (format) {
        case RecordsFormat::kCsv:
            out.Put(std::string("terminal,card,type,amount,date,time,second_amount\n"));
            break;
        case RecordsFormat::kJson:
            out.Put(std::string("{\n  \"file\": "));
            Json(out, path);
            out.Put(",\n  \"count\": " + std::to_string(store.Count()) + ",\n  \"records\": [");
            break;
        case RecordsFormat::kTable:
            out.Put(std::string("      #  term card    type     amount  date        time      second\n"));
            break;
    }
    const unsigned char* r;
    while (!out.Failed() && (r = store.NextRaw(problem)) != nullptr) {
        const std::int64_t cents = CentsOf(StoreFloat(r + 16));
        const std::int64_t second = CentsOf(StoreFloat(r + 40));
        total += cents;
        ++i;
        const Field terminal = At(r, 0, 4), card = At(r, 4, 7), type = At(r, 11, 3), date = At(r, 20, 11),
                    time = At(r, 31, 6);
        switch (format) {
            case RecordsFormat::kCsv:
                Csv(out, terminal);
                out.Put(',');
                Csv(out, card);
                out.Put(',');
                Csv(out, type);
                out.Put(',');
                out.Cents(cents);
                out.Put(',');
                Csv(out, date);
                out.Put(',');
                Csv(out, time);
                out.Put(',');
                out.Cents(second);
                out.Put('\n');
                break;
            case RecordsFormat::kJson:
                out.Put(i == 1 ? "\n    {\"terminal\": " : ",\n    {\"terminal\": ", i == 1 ? 18 : 19);
                Json(out, terminal);
                out.Put(", \"card\": ", 10);
                Json(out, card);
                out.Put(", \"type\": ", 10);
                Json(out, type);
                out.Put(", \"amount\": ", 12);
                out.Cents(cents);
                out.Put(", \"date\": ", 10);
                Json(out, date);
                out.Put(", \"time\": ", 10);
                Json(out, time);
                out.Put(", \"second_amount\": ", 19);
                out.Cents(second);
                out.Put('}');
                break;
            case RecordsFormat::kTable:
                out.Number(i, 7, false);
                out.Spaces(2);
                Left(out, terminal, 5);
                Left(out, card, 8);
                Left(out, type, 5);
                out.Number(cents, 10);
                out.Spaces(2);
                Left(out, date, 12);
                Left(out, time, 6);
                out.Number(second, 10);
                out.Put('\n');
                break;
        }
    }
    if (!problem.empty()) {
        out.Flush();
        std::fprintf(stderr, "talvo: %s\n", problem.c_str());
        return 2;
    }
    if (format == RecordsFormat::kJson) {
        out.Put(std::string(i > 0 ? "\n  ]" : "]") + ",\n  \"total\": " + FormatCents(total) +
                ",\n  \"leftover_bytes\": " + std::to_string(store.Leftover()) + "\n}\n");
    } else if (format == RecordsFormat::kTable) {
        out.Put("total: " + std::to_string(i) + (i == 1 ? " record, " : " records, ") + FormatCents(total) + "\n");
        if (store.Leftover() > 0) {
            out.Put("(" + std::to_string(store.Leftover()) +
                    " bytes behind the counted records: a withdrawn batch, not part of the store)\n");
        }
    }
    if (!out.Flush()) {
        // A reader that went away (`talvo records big | head`) is no fault.
        if (out.Error() != EPIPE) {
            std::fprintf(stderr, "talvo: cannot write the output (%s)\n", std::strerror(out.Error()));
        }
        return 1;
    }
    return 0;
}

}  // namespace talvo::cli
