// Logging: one line per event on standard error, "LEVEL event key=value...".
// Under systemd (JOURNAL_STREAM set) each line starts with the journal's
// priority prefix and leaves the time to the journal; elsewhere it starts
// with the UTC time.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

namespace talvo::service {

enum class Level { kError, kWarning, kInfo, kDebug };

using Field = std::pair<const char*, std::string>;

void Log(Level level, const char* event, std::initializer_list<Field> fields = {});
// Lines below `level` are left out (default: info).
void SetLogLevel(Level level);

// The log lines go to `path` from now on (appended) rather than to standard
// error; once the file holds `limit` bytes it becomes PATH.1 (PATH.1 becomes
// PATH.2 and so on, `keep` of them) and a new one starts.  For a service
// without a terminal (Windows).  False when the file cannot be opened; the
// lines then stay on standard error.
bool LogToFile(const std::string& path, std::uintmax_t limit = 10 * 1024 * 1024, int keep = 5);

}  // namespace talvo::service
