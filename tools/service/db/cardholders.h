// Cardholders: who carries a card (name, staff number, department and the
// days the card is theirs), so that records, the Cards view, reports and
// exports show people instead of bare card numbers.  Kept in the service's
// database; filled from a CSV file (`talvod db cardholders import`, PUT
// /api/cardholders) or one at a time on the page.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "db/database.h"

namespace talvo::service {

struct Cardholder {
    std::string card;         // six letters or digits, as the terminals give it
    std::string name;         // required
    std::string staffNumber;  // the rest may be empty
    std::string department;
    std::string validFrom;   // "YYYY-MM-DD" or "" (always)
    std::string validUntil;  // inclusive
    bool operator==(const Cardholder&) const = default;
};

// Checks one cardholder's fields; "" when sound, else what is wrong.
std::string CardholderProblem(const Cardholder& c);

// Reads a CSV file's text: a header naming the columns (card and name
// required; staff_number, department, valid_from, valid_until optional, in
// any order), then one cardholder a line.  RFC 4180 quoting; a card may
// appear once.  False with `error` "line N: what is wrong" for the first
// bad line (and nothing in `out`).
bool ParseCardholdersCsv(const std::string& text, std::vector<Cardholder>& out, std::string& error);
// The CSV that ParseCardholdersCsv reads back.
std::string CardholdersCsv(const std::vector<Cardholder>& rows);

struct ImportCount {
    std::int64_t added = 0, changed = 0, unchanged = 0, removed = 0;
};
// Writes `rows` in one transaction: a card already there is updated, a new
// one added; with `replace`, cards the rows do not name are removed, and
// otherwise kept.  Either all of it is stored or nothing (DbError).
ImportCount ImportCardholders(Connection& db, const std::vector<Cardholder>& rows, bool replace);
// Removes one card's cardholder; false when there was none.
bool RemoveCardholder(Connection& db, const std::string& card);

// Cardholders by card number; with `search`, those whose card starts with
// it or whose name, staff number or department contains it (any case).
std::vector<Cardholder> ListCardholders(Connection& db, const std::string& search = "",
                                        std::int64_t limit = 1'000'000, std::int64_t offset = 0);
// card -> name, for every cardholder.
std::map<std::string, std::string> CardholderNames(Connection& db);

}  // namespace talvo::service
