// Showing a record store file: a table with its total, CSV or JSON, the
// records a block at a time as the library decodes them, straight into an
// output buffer, so that a file of any size takes the same memory and little
// more time than reading it.  Amounts are shown to the cent; totals are sums
// of cents.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "records.h"
#include "store_file.h"
#include "values.h"

namespace talvo::cli {

using namespace talvo::common;
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
    void Put(std::string_view s) { Put(s.data(), s.size()); }
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

using Field = std::string_view;

constexpr std::int64_t kPowerOfTen[] = {1, 10, 100, 1000, 10000};

// `value` as "%0*d" writes it, at least `Width` characters with leading
// zeros; returns the end.  (`at` has room for any 32-bit value.)
template <int Width>
char* Decimal(char* at, std::int64_t value) {
    if (value < 0 || value >= kPowerOfTen[Width]) {
        return at + std::snprintf(at, 16, "%0*lld", Width, static_cast<long long>(value));
    }
    // What a decoded record holds: exactly `Width` digits.
    auto v = static_cast<std::uint32_t>(value);
    for (int i = Width - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return at + Width;
}

// A text cell, as the collection service writes its CSV: a leading = + -
// or @ gets a ' in front, so that a spreadsheet does not run the cell as a
// formula, and a cell with a comma, quote or line end is quoted.
void Csv(Out& out, Field f) {
    const bool formula = !f.empty() && (f[0] == '=' || f[0] == '+' || f[0] == '-' || f[0] == '@');
    bool quote = false;
    for (const char c : f) quote = quote || c == ',' || c == '"' || c == '\r' || c == '\n';
    if (quote) out.Put('"');
    if (formula) out.Put('\'');
    for (const char c : f) {
        if (c == '"') out.Put('"');
        out.Put(c);
    }
    if (quote) out.Put('"');
}

// The type's name, as the collection service names it.
Field TypeName(int type) {
    switch (type) {
        case TALVO_RECORD_PAYMENT: return "payment";
        case TALVO_RECORD_DEPOSIT: return "deposit";
        case TALVO_RECORD_SUBSIDY: return "subsidy";
        default: return "";
    }
}

void Json(Out& out, Field f) {
    out.Put('"');
    for (const char byte : f) {
        const auto c = static_cast<unsigned char>(byte);
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

// Left-aligned in `width` columns.
void Left(Out& out, Field f, int width) {
    out.Put(f.data(), f.size());
    out.Spaces(width - static_cast<int>(f.size()));
}

}  // namespace

RecordTexts::RecordTexts(const talvo_record& r)
    : decoded_(r.type == TALVO_RECORD_PAYMENT || r.type == TALVO_RECORD_DEPOSIT || r.type == TALVO_RECORD_SUBSIDY) {
    if (!decoded_) return;
    terminal_size_ = static_cast<std::size_t>(Decimal<3>(terminal_, r.terminal) - terminal_);
    card_size_ = ::strnlen(r.card, sizeof r.card);
    std::memcpy(card_, r.card, card_size_);
    type_size_ = static_cast<std::size_t>(Decimal<2>(type_, r.type) - type_);
    // ISO dates, as the JSON form and the collection service write them.
    char* at = Decimal<4>(date_, r.year);
    *at++ = '-';
    at = Decimal<2>(at, r.month);
    *at++ = '-';
    date_size_ = static_cast<std::size_t>(Decimal<2>(at, r.day) - date_);
    at = Decimal<2>(time_, r.hour);
    *at++ = ':';
    time_size_ = static_cast<std::size_t>(Decimal<2>(at, r.minute) - time_);
}

namespace {

// One record, the `number`th, in `format`; false when the library could
// not decode it (its fields are then shown empty).
bool PutRecord(Out& out, RecordsFormat format, std::int64_t number, const talvo_record& r) {
    const RecordTexts texts(r);
    const Field terminal = texts.Terminal(), card = texts.Card(), type = texts.Type(), date = texts.Date(),
                time = texts.Time();
    const std::int64_t cents = r.amount_cents;
    const std::int64_t second = r.second_amount_cents;
    switch (format) {
        case RecordsFormat::kCsv:
            // Only the card is text as it came; the others are digits (the
            // amounts' minus sign is a number's, not a formula's).
            out.Put(terminal);
            out.Put(',');
            Csv(out, card);
            out.Put(',');
            out.Put(type);
            out.Put(',');
            out.Cents(cents);
            out.Put(',');
            out.Put(date);
            out.Put(',');
            out.Put(time);
            out.Put(',');
            out.Cents(second);
            out.Put('\n');
            break;
        case RecordsFormat::kJson: {
            // Numbers as numbers, the type by name, the date in ISO form;
            // null for the fields of a record the library could not decode.
            out.Put(number == 1 ? "\n    {\"terminal\": " : ",\n    {\"terminal\": ");
            if (texts.Decoded()) {
                out.Number(r.terminal, 0, false);
            } else {
                out.Put("null");
            }
            out.Put(", \"card\": ");
            Json(out, card);
            out.Put(", \"type\": ");
            if (texts.Decoded()) {
                Json(out, TypeName(r.type));
            } else {
                out.Put("null");
            }
            out.Put(", \"amount\": ");
            out.Cents(cents);
            out.Put(", \"date\": ");
            if (texts.Decoded()) {
                char iso[48];
                const int n = std::snprintf(iso, sizeof iso, "\"%04d-%02d-%02d\"", r.year, r.month, r.day);
                out.Put(iso, static_cast<std::size_t>(n));
            } else {
                out.Put("null");
            }
            out.Put(", \"time\": ");
            if (texts.Decoded()) {
                Json(out, time);
            } else {
                out.Put("null");
            }
            out.Put(", \"second_amount\": ");
            out.Cents(second);
            out.Put('}');
            break;
        }
        case RecordsFormat::kTable:
            out.Number(number, 7, false);
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
    return texts.Decoded();
}

}  // namespace

int PrintRecords(host::HostLibrary& lib, const std::string& path, RecordsFormat format) {
    StoreReader store(lib);
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
            Json(out, Field(path));
            out.Put(",\n  \"count\": " + std::to_string(store.Count()) + ",\n  \"records\": [");
            break;
        case RecordsFormat::kTable:
            out.Put(std::string("      #  term card    type     amount  date        time      second\n"));
            break;
    }
    std::int64_t unread = 0;
    for (auto block = store.Next(problem); !block.empty() && !out.Failed(); block = store.Next(problem)) {
        for (const talvo_record& r : block) {
            total += r.amount_cents;
            if (!PutRecord(out, format, ++i, r)) ++unread;
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
        if (unread > 0) {
            out.Put("(" + std::to_string(unread) + (unread == 1 ? " record does" : " records do") +
                    " not read as a transaction; shown with empty fields and counted as 0.00)\n");
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
