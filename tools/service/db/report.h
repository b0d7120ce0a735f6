// The day's report (or a period's): per terminal, line, group and the whole
// site, the sales and takings, deposits, subsidies, rejected records, the
// first and last sale, and the payment terminals that handed over nothing.
// Read from the records themselves, so that its figures are the records
// table's to the cent.  Written as CSV, a printable HTML page or (by the
// interface) JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "db/database.h"

namespace talvo::service {

struct ReportTerminal {
    std::string line;
    int number = 0;
    std::string name, kind = "payment", group;
};

// The site's terminals as the database knows them, with their groups from
// `config` when there is one (terminals the configuration names but the
// database has not seen yet included).
std::vector<ReportTerminal> SiteTerminals(Connection& db, const Config* config);

struct Figures {
    std::int64_t records = 0;
    std::int64_t sumCents = 0;  // every amount, signed, as stored
    std::int64_t sales = 0;     // payments (type 05)
    std::int64_t takingsCents = 0;  // payments as a positive amount
    std::int64_t deposits = 0;      // type 13: money put back on a card
    std::int64_t depositCents = 0;
    std::int64_t subsidies = 0;  // type 14
    std::int64_t subsidyCents = 0;
    std::int64_t rejected = 0;  // raw records stored as not decoded
    std::string firstSale, lastSale;  // "YYYY-MM-DD HH:MM", "" without a sale
    void Add(const Figures& o);
};

struct ReportRow {
    std::string line;  // "" on a group's or the site's row
    int terminal = -1;  // -1 on a line's, group's or the site's row
    std::string name;   // the terminal's, the line's or the group's
    std::string group;
    Figures figures;
};

struct Report {
    std::string from, to;  // "YYYY-MM-DD", inclusive
    std::vector<ReportRow> terminals, lines, groups;
    Figures site;
    std::vector<ReportTerminal> silent;  // payment terminals with no record in the period
};

// `from` and `to` are dates "YYYY-MM-DD" (the terminals' local days).
// Attendance terminals are left out (their records are punches, see
// attendance.h).
Report BuildReport(Connection& db, const std::string& from, const std::string& to,
                   const std::vector<ReportTerminal>& terminals);

// A date "YYYY-MM-DD" that exists.
bool ValidDate(const std::string& s);
// The local day `days` before or after `date`.
std::string AddDays(const std::string& date, int days);
// UTC "YYYY-MM-DDTHH:MM:SS" of local midnight starting `date`.
std::string LocalMidnightUtc(const std::string& date);

std::string ReportCsv(const Report& r);
// A page for the screen and for paper, complete in itself; `currency` an
// ISO code shown beside amounts ("" for none).
std::string ReportHtml(const Report& r, const std::string& site, const std::string& currency);

}  // namespace talvo::service
