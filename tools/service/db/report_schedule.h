// The day's report written to a folder at a time of day ([reports]): by a
// thread of its own with its own database connection, never a line's.
// When the time of day has passed and the day's files are not there yet,
// they are written (so a report missed while the service was down is
// written when it starts, that same day); a reload looks again at once.
#pragma once

#include <condition_variable>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "config.h"

namespace talvo::service {

// The day ("YYYY-MM-DD") whose report is due at local time `now`, none
// before the configured time of day.
std::optional<std::string> DueReportDay(const ReportsConfig& reports, const std::tm& now);

// The report of `day` as the files the configuration asks for,
// FOLDER/report-DAY.csv and .html, each written whole (to a temporary name,
// then renamed).  False with `error` when the database or the folder
// failed.
bool WriteDayReport(const Config& config, const std::string& day, std::string& error);

class ReportSchedule {
public:
    explicit ReportSchedule(const Config& config);
    ~ReportSchedule();
    ReportSchedule(const ReportSchedule&) = delete;
    ReportSchedule& operator=(const ReportSchedule&) = delete;

    void Start();
    void Stop();
    void Reconfigure(const Config& fresh);

private:
    void Run();

    Config config_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool again_ = false;
    std::thread thread_;
};

}  // namespace talvo::service
