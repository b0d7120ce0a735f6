// Showing a record store file.
#pragma once

#include <string>

namespace talvo::cli {

enum class RecordsFormat { kTable, kCsv, kJson };

// Prints the store file at `path`; exit status 0, 1 when the output cannot
// be written, or 2 when the file cannot be shown (one line on stderr).
int PrintRecords(const std::string& path, RecordsFormat format);

}  // namespace talvo::cli
