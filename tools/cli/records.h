// Showing a record store file, and a record's fields as the store file
// writes them.
#pragma once

#include <string>
#include <string_view>

#include "host_library.h"

namespace talvo::cli {

enum class RecordsFormat { kTable, kCsv, kJson };

// Prints the store file at `path`, read through `lib`; exit status 0, 1
// when the output cannot be written, or 2 when the file cannot be shown
// (one line on stderr).
int PrintRecords(host::HostLibrary& lib, const std::string& path, RecordsFormat format);

// A decoded record's texts: terminal "001", card, type "13", date
// "2026/03/15" and time "10:20"; all empty for a record the library could
// not decode (a type that is none of TALVO_RECORD_*).
class RecordTexts {
public:
    explicit RecordTexts(const talvo_record& record);

    bool Decoded() const { return decoded_; }
    std::string_view Terminal() const { return {terminal_, terminal_size_}; }
    std::string_view Card() const { return {card_, card_size_}; }
    std::string_view Type() const { return {type_, type_size_}; }
    std::string_view Date() const { return {date_, date_size_}; }
    std::string_view Time() const { return {time_, time_size_}; }

private:
    bool decoded_ = false;
    char terminal_[16], card_[8], type_[16], date_[48], time_[32];
    std::size_t terminal_size_ = 0, card_size_ = 0, type_size_ = 0, date_size_ = 0, time_size_ = 0;
};

}  // namespace talvo::cli
