#include "db/report_schedule.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "db/report.h"
#include "log.h"

namespace talvo::service {
namespace {

// How often the thread looks whether a report is due: a minute's
// resolution is all a time of day asks for.
constexpr std::chrono::seconds kLook{20};

std::string Date(const std::tm& tm) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return text;
}

std::filesystem::path FileOf(const ReportsConfig& reports, const std::string& day, const char* suffix) {
    return std::filesystem::path(reports.folder) / ("report-" + day + suffix);
}

bool Written(const ReportsConfig& reports, const std::string& day) {
    std::error_code ec;
    return (!reports.csv || std::filesystem::exists(FileOf(reports, day, ".csv"), ec)) &&
           (!reports.html || std::filesystem::exists(FileOf(reports, day, ".html"), ec));
}

bool WriteWhole(const std::filesystem::path& path, const std::string& text, std::string& error) {
    const std::filesystem::path part = path.string() + ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            error = "cannot write " + part.string();
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(part, path, ec);
    if (ec) {
        error = "cannot rename " + part.string() + ": " + ec.message();
        std::filesystem::remove(part, ec);
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> DueReportDay(const ReportsConfig& reports, const std::tm& now) {
    if (reports.folder.empty() || reports.atMinute < 0) return std::nullopt;
    if (now.tm_hour * 60 + now.tm_min < reports.atMinute) return std::nullopt;
    const std::string today = Date(now);
    return reports.yesterday ? AddDays(today, -1) : today;
}

bool WriteDayReport(const Config& config, const std::string& day, std::string& error) {
    try {
        auto db = Open(config.database);
        const Report r = BuildReport(*db, day, day, SiteTerminals(*db, &config));
        std::error_code ec;
        std::filesystem::create_directories(config.reports.folder, ec);
        if (ec) {
            error = "cannot make " + config.reports.folder + ": " + ec.message();
            return false;
        }
        if (config.reports.csv && !WriteWhole(FileOf(config.reports, day, ".csv"), ReportCsv(r), error)) return false;
        if (config.reports.html &&
            !WriteWhole(FileOf(config.reports, day, ".html"), ReportHtml(r, config.host, config.http.currency), error)) {
            return false;
        }
        return true;
    } catch (const DbError& e) {
        error = e.what();
        return false;
    }
}

ReportSchedule::ReportSchedule(const Config& config) : config_(config) {}

ReportSchedule::~ReportSchedule() { Stop(); }

void ReportSchedule::Start() {
    if (config_.reports.folder.empty()) return;
    thread_ = std::thread([this] { Run(); });
}

void ReportSchedule::Stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ReportSchedule::Reconfigure(const Config& fresh) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        config_.reports = fresh.reports;
        config_.http.currency = fresh.http.currency;
        again_ = true;
    }
    wake_.notify_all();
    if (!thread_.joinable() && !fresh.reports.folder.empty()) Start();
}

void ReportSchedule::Run() {
    std::unique_lock<std::mutex> hold(lock_);
    std::string said;  // the last failure logged: a lasting one is logged once
    while (!stop_) {
        const Config config = config_;
        hold.unlock();
        const std::time_t t = std::time(nullptr);
        std::tm now{};
        localtime_r(&t, &now);
        const auto day = DueReportDay(config.reports, now);
        if (day && !Written(config.reports, *day)) {
            std::string error;
            if (WriteDayReport(config, *day, error)) {
                Log(Level::kInfo, "report-written", {{"day", *day}, {"folder", config.reports.folder}});
                said.clear();
            } else if (error != said) {
                Log(Level::kWarning, "report-failed", {{"day", *day}, {"error", error}});
                said = error;
            }
        }
        hold.lock();
        wake_.wait_for(hold, kLook, [this] { return stop_ || again_; });
        again_ = false;
    }
}

}  // namespace talvo::service
