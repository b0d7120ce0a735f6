// Showing a record store file: a table with its total, CSV or JSON.
#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "store_reader.h"

namespace talvo::cli {

const char* ErrorMeaning(int code) {
    switch (code) {
        case 0: return "the terminal refused the command";
        case -1: return "the port is not open, or nothing could be written";
        case -2: return "no valid reply frame (partial write, damaged or cut-short reply)";
        case -3: return "no reply within the time limits";
        case -6: return "the reply did not hold what it announced";
        default: return "unknown error";
    }
}

int Failed(host::HostLibrary& lib, int terminal, const std::string& what) {
    const int code = lib.GetError != nullptr ? lib.GetError() : -1;
    if (code == 0) {
        std::fprintf(stderr, "talvo: %s: terminal %d refused the command\n", what.c_str(), terminal);
    } else {
        std::fprintf(stderr, "talvo: %s failed: error %d (%s)\n", what.c_str(), code, ErrorMeaning(code));
    }
    return 1;
}

std::string Now(bool attendance) {
    std::time_t t = std::time(nullptr);
    std::tm lt{};
#ifdef _WIN32
    localtime_s(&lt, &t);
#else
    localtime_r(&t, &lt);
#endif
    char text[32];
    std::strftime(text, sizeof text, attendance ? "%Y%m%d%H%M%S" : "%Y/%m/%d %H:%M", &lt);
    return text;
}

int PrintRecords(const std::string& path, const std::string& format) {
    Store store;
    std::string problem;
    if (!ReadStore(path, store, problem)) {
        std::fprintf(stderr, "talvo: %s\n", problem.c_str());
        return 2;
    }
    double total = 0;
    for (const StoredRecord& r : store.records) total += r.amount;
    if (format == "json") {
        nlohmann::json out;
        out["file"] = path;
        out["count"] = store.records.size();
        out["total"] = total;
        out["records"] = nlohmann::json::array();
        for (const StoredRecord& r : store.records) {
            out["records"].push_back({{"terminal", r.terminal}, {"card", r.card}, {"type", r.type},
                                      {"amount", r.amount}, {"date", r.date}, {"time", r.time},
                                      {"second_amount", r.secondAmount}});
        }
        std::printf("%s\n", out.dump(2).c_str());
        return 0;
    }
    if (format == "csv") {
        std::printf("terminal,card,type,amount,date,time,second_amount\n");
        for (const StoredRecord& r : store.records) {
            std::printf("%s,%s,%s,%.2f,%s,%s,%.2f\n", r.terminal.c_str(), r.card.c_str(), r.type.c_str(),
                        static_cast<double>(r.amount), r.date.c_str(), r.time.c_str(),
                        static_cast<double>(r.secondAmount));
        }
        return 0;
    }
    std::printf("%5s  %-4s %-7s %-4s %10s  %-10s  %-5s  %9s\n", "#", "term", "card", "type", "amount", "date",
                "time", "second");
    int i = 0;
    for (const StoredRecord& r : store.records) {
        std::printf("%5d  %-4s %-7s %-4s %10.2f  %-10s  %-5s  %9.2f\n", ++i, r.terminal.c_str(), r.card.c_str(),
                    r.type.c_str(), static_cast<double>(r.amount), r.date.c_str(), r.time.c_str(),
                    static_cast<double>(r.secondAmount));
    }
    std::printf("total: %zu record%s, %.2f\n", store.records.size(), store.records.size() == 1 ? "" : "s", total);
    if (store.leftover > 0) {
        std::printf("(%ld bytes behind the counted records: a withdrawn batch, not part of the store)\n",
                    store.leftover);
    }
    return 0;
}

}  // namespace talvo::cli
