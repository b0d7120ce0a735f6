// Comma-separated values as the site's spreadsheets write and read them:
// RFC 4180 quoting, CRLF or LF line ends, a UTF-8 byte-order mark ignored,
// and a semicolon taken as the separator when the first line has one and
// no comma (what spreadsheets write in many countries).
#pragma once

#include <string>
#include <vector>

namespace talvo::service {

struct CsvRecord {
    int line = 0;  // the line of the file it starts on, from 1
    std::vector<std::string> fields;
};

// False with `error` ("line N: ...") for a quote left open or text after a
// closing quote.
bool ReadCsv(const std::string& text, std::vector<CsvRecord>& out, std::string& error);
// One field, quoted when it needs to be; a text starting with = + - @ gets
// a leading ' so that a spreadsheet does not take it for a formula.
std::string CsvText(const std::string& s);
// That guard taken off again.
std::string UnguardCsv(const std::string& s);

}  // namespace talvo::service
