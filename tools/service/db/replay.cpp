#include "db/replay.h"

#include <cstring>

namespace talvo::service {
namespace {

constexpr std::size_t kRawLength = 28;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes behind the text: "\xHH" is the byte HH, anything else itself.
std::string Bytes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            const int hi = HexValue(text[i + 2]);
            const int lo = HexValue(text[i + 3]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

}  // namespace

bool BatchFromText(int terminal, int mark, int count, const std::string& raw, talvo_batch& out) {
    if (count < 0 || count > TALVO_BATCH_MAX) return false;
    const std::string bytes = Bytes(raw);
    if (bytes.size() != kRawLength * static_cast<std::size_t>(count)) return false;
    std::memset(&out, 0, sizeof out);
    out.terminal = terminal;
    out.mark = mark;
    out.count = count;
    for (int i = 0; i < count; ++i) std::memcpy(out.raw[i], bytes.data() + kRawLength * static_cast<std::size_t>(i), kRawLength);
    return true;
}

bool RepeatsCommitted(const Batch& fetched, const CommittedBatch& committed) {
    talvo_batch a;
    talvo_batch b;
    const int count = static_cast<int>(fetched.records.size() + fetched.rejected.size());
    return BatchFromText(fetched.terminal, fetched.mark, count, fetched.raw, a) &&
           BatchFromText(committed.terminal, committed.mark, committed.count, committed.raw, b) &&
           talvo_batch_same(&a, &b) == 1;
}

}  // namespace talvo::service
