#include "db/cardholders.h"

#include <algorithm>
#include <set>

#include "db/csv.h"
#include "db/report.h"

namespace talvo::service {
namespace {

const std::vector<std::string> kColumns = {"card", "name", "staff_number", "department", "valid_from", "valid_until"};

bool Printable(const std::string& s) {
    return std::none_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool Date(const std::string& s) { return ValidDate(s); }

std::string Trim(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

Cardholder FromRow(const Row& r) {
    return {AsText(r[0]), AsText(r[1]), AsText(r[2]), AsText(r[3]), AsText(r[4]), AsText(r[5])};
}

constexpr const char* kSelect =
    "SELECT card, name, staff_number, department, valid_from, valid_until FROM cardholders";

}  // namespace

std::string CardholderProblem(const Cardholder& c) {
    if (c.card.size() != 6 || !std::all_of(c.card.begin(), c.card.end(), [](char ch) {
            return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
        })) {
        return "card: six letters or digits, not '" + c.card.substr(0, 16) + "'";
    }
    if (c.name.empty() || c.name.size() > 100 || !Printable(c.name)) return "name: 1 to 100 characters on one line";
    if (c.staffNumber.size() > 64 || !Printable(c.staffNumber)) return "staff_number: at most 64 characters";
    if (c.department.size() > 64 || !Printable(c.department)) return "department: at most 64 characters";
    if (!c.validFrom.empty() && !Date(c.validFrom)) return "valid_from: a date YYYY-MM-DD or nothing";
    if (!c.validUntil.empty() && !Date(c.validUntil)) return "valid_until: a date YYYY-MM-DD or nothing";
    if (!c.validFrom.empty() && !c.validUntil.empty() && c.validFrom > c.validUntil) {
        return "valid_from is after valid_until";
    }
    return "";
}

bool ParseCardholdersCsv(const std::string& text, std::vector<Cardholder>& out, std::string& error) {
    out.clear();
    std::vector<CsvRecord> records;
    if (!ReadCsv(text, records, error)) return false;
    if (records.empty()) {
        error = "line 1: a header is needed (card,name,staff_number,department,valid_from,valid_until)";
        return false;
    }
    // Which field holds which column.
    std::vector<int> at(kColumns.size(), -1);
    const CsvRecord& header = records[0];
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        std::string name = Trim(header.fields[i]);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        const auto it = std::find(kColumns.begin(), kColumns.end(), name);
        if (it == kColumns.end()) {
            error = "line " + std::to_string(header.line) + ": unknown column '" + name.substr(0, 32) +
                    "' (card, name, staff_number, department, valid_from, valid_until)";
            return false;
        }
        if (at[static_cast<std::size_t>(it - kColumns.begin())] >= 0) {
            error = "line " + std::to_string(header.line) + ": column '" + name + "' twice";
            return false;
        }
        at[static_cast<std::size_t>(it - kColumns.begin())] = static_cast<int>(i);
    }
    if (at[0] < 0 || at[1] < 0) {
        error = "line " + std::to_string(header.line) + ": the header must name the columns card and name";
        return false;
    }
    std::vector<Cardholder> rows;
    std::set<std::string> cards;
    for (std::size_t r = 1; r < records.size(); ++r) {
        const CsvRecord& rec = records[r];
        const std::string where = "line " + std::to_string(rec.line) + ": ";
        if (rec.fields.size() == 1 && Trim(rec.fields[0]).empty()) continue;  // a blank line
        if (rec.fields.size() != header.fields.size()) {
            error = where + std::to_string(rec.fields.size()) + " fields, the header has " +
                    std::to_string(header.fields.size());
            return false;
        }
        std::vector<std::string> v(kColumns.size());
        for (std::size_t c = 0; c < kColumns.size(); ++c) {
            if (at[c] >= 0) v[c] = Trim(rec.fields[static_cast<std::size_t>(at[c])]);
        }
        Cardholder h{v[0], v[1], v[2], v[3], v[4], v[5]};
        for (std::string* s : {&h.name, &h.staffNumber, &h.department}) *s = UnguardCsv(*s);
        const std::string problem = CardholderProblem(h);
        if (!problem.empty()) {
            error = where + problem;
            return false;
        }
        if (!cards.insert(h.card).second) {
            error = where + "card " + h.card + " appears twice in the file";
            return false;
        }
        rows.push_back(std::move(h));
    }
    out = std::move(rows);
    return true;
}

std::string CardholdersCsv(const std::vector<Cardholder>& rows) {
    std::string out = "card,name,staff_number,department,valid_from,valid_until\r\n";
    for (const Cardholder& c : rows) {
        out += CsvText(c.card) + "," + CsvText(c.name) + "," + CsvText(c.staffNumber) + "," + CsvText(c.department) +
               "," + c.validFrom + "," + c.validUntil + "\r\n";
    }
    return out;
}

ImportCount ImportCardholders(Connection& db, const std::vector<Cardholder>& rows, bool replace) {
    ImportCount n;
    Transaction tx(db);
    std::map<std::string, Cardholder> before;
    for (const Row& r : db.Query(kSelect)) {
        Cardholder c = FromRow(r);
        before.emplace(c.card, std::move(c));
    }
    std::set<std::string> named;
    for (const Cardholder& c : rows) {
        named.insert(c.card);
        const auto it = before.find(c.card);
        if (it != before.end() && it->second == c) {
            ++n.unchanged;
            continue;
        }
        const std::vector<Value> values = {c.card, c.name, c.staffNumber, c.department, c.validFrom, c.validUntil};
        if (it == before.end()) {
            db.QueryRepeated("INSERT INTO cardholders (card, name, staff_number, department, valid_from, valid_until)"
                             " VALUES (?, ?, ?, ?, ?, ?)",
                             values);
            ++n.added;
        } else {
            db.QueryRepeated("UPDATE cardholders SET name = ?, staff_number = ?, department = ?, valid_from = ?,"
                             " valid_until = ? WHERE card = ?",
                             {c.name, c.staffNumber, c.department, c.validFrom, c.validUntil, c.card});
            ++n.changed;
        }
    }
    if (replace) {
        for (const auto& [card, c] : before) {
            if (named.count(card) != 0) continue;
            db.QueryRepeated("DELETE FROM cardholders WHERE card = ?", {card});
            ++n.removed;
        }
    }
    tx.Commit();
    return n;
}

bool RemoveCardholder(Connection& db, const std::string& card) {
    Transaction tx(db);
    const bool there = !db.Query("SELECT 1 FROM cardholders WHERE card = ?", {card}).empty();
    if (there) db.Query("DELETE FROM cardholders WHERE card = ?", {card});
    tx.Commit();
    return there;
}

std::vector<Cardholder> ListCardholders(Connection& db, const std::string& search, std::int64_t limit,
                                        std::int64_t offset) {
    std::vector<Cardholder> out;
    Rows rows;
    if (search.empty()) {
        rows = db.Query(std::string(kSelect) + " ORDER BY card LIMIT ? OFFSET ?", {limit, offset});
    } else {
        // LIKE's own characters in the search are taken as they stand.
        std::string pattern;
        for (char c : search) {
            if (c == '%' || c == '_' || c == '\\') pattern += '\\';
            pattern += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        rows = db.Query(std::string(kSelect) +
                            " WHERE lower(card) LIKE ? ESCAPE '\\' OR lower(name) LIKE ? ESCAPE '\\'"
                            " OR lower(staff_number) LIKE ? ESCAPE '\\' OR lower(department) LIKE ? ESCAPE '\\'"
                            " ORDER BY name, card LIMIT ? OFFSET ?",
                        {pattern + "%", "%" + pattern + "%", "%" + pattern + "%", "%" + pattern + "%", limit, offset});
    }
    for (const Row& r : rows) out.push_back(FromRow(r));
    return out;
}

std::map<std::string, std::string> CardholderNames(Connection& db) {
    std::map<std::string, std::string> out;
    for (const Row& r : db.Query("SELECT card, name FROM cardholders")) out.emplace(AsText(r[0]), AsText(r[1]));
    return out;
}

}  // namespace talvo::service
