// Logging: one line per event on standard error, "LEVEL event key=value...".
// Under systemd (JOURNAL_STREAM set) each line starts with the journal's
// priority prefix and leaves the time to the journal; elsewhere it starts
// with the UTC time.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

namespace talvo::service {

enum class Level { kError, kWarning, kInfo, kDebug };

using Field = std::pair<const char*, std::string>;

void Log(Level level, const char* event, std::initializer_list<Field> fields = {});
// Lines below `level` are left out (default: info).
void SetLogLevel(Level level);

}  // namespace talvo::service
