// Query strings of the records interface (/api/records?..., the totals and
// the exports): read strictly, then checked as a record filter.
#include <httplib.h>

#include "db/queries.h"
#include "fuzz_check.h"
#include "http/common.h"

using namespace talvo::service;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A request line is at most a few kilobytes.
    if (size > 8192) return 0;
    httplib::Request req;
    req.target = "/api/records?" + talvo::fuzz::Text(data, size);
    std::multimap<std::string, std::string> params;
    std::string error;
    if (!Query(req, params, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    for (const auto& [name, value] : params) FUZZ_CHECK(!name.empty());
    static const std::vector<std::string> all = {"line", "terminal", "card", "type", "from",
                                                 "to",   "day",      "limit", "offset"};
    RecordFilter f;
    if (!ParseFilter(params, all, f, error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    // What a good filter holds is what the database may be asked.
    FUZZ_CHECK(f.limit >= 1 && f.limit <= kMaxPage && f.offset >= 0);
    if (f.terminal) FUZZ_CHECK(*f.terminal >= 0 && *f.terminal <= 255);
    if (f.type) FUZZ_CHECK(*f.type == 5 || *f.type == 13 || *f.type == 14);
    if (f.card) FUZZ_CHECK(!f.card->empty() && f.card->size() <= 6);
    if (f.line) FUZZ_CHECK(!f.line->empty() && f.line->size() <= 32);
    for (const auto* t : {&f.from, &f.to}) {
        if (!*t) continue;
        // "YYYY-MM-DD" or "YYYY-MM-DD HH:MM", digits where digits go.
        const std::string& s = **t;
        FUZZ_CHECK((s.size() == 10 || (s.size() == 16 && s[10] == ' ' && s[13] == ':')) && s[4] == '-' &&
                   s[7] == '-');
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (i != 4 && i != 7 && i != 10 && i != 13) FUZZ_CHECK(s[i] >= '0' && s[i] <= '9');
        }
    }
    if (f.from && f.to) FUZZ_CHECK(*f.from <= *f.to);
    return 0;
}
