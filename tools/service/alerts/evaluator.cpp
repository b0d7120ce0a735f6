#include "alerts/evaluator.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include "db/store.h"
#include "log.h"

namespace talvo::service {
namespace {

using json = nlohmann::json;

// Line states in which the line is not working (the others: "connected",
// "opening", "negotiating", "stopped").
bool LineDown(const std::string& state) { return state == "unreachable" || state == "refused" || state == "flooding"; }

std::string TerminalLabel(const LineConfig& l, const TerminalConfig& t) {
    return "'" + t.name + "' (" + l.name + "/" + std::to_string(t.number) + ")";
}

json AlertJson(const Alert& a) {
    auto text = [](const std::string& s) { return s.empty() ? json(nullptr) : json(s); };
    return json{{"alert", a.key},        {"rule", a.rule},      {"subject", a.subject},
                {"message", a.message},  {"started", text(a.started)}, {"fired", text(a.fired)},
                {"last_sent", text(a.lastSent)}, {"resolved", text(a.resolved)}, {"sends", a.sends}};
}

}  // namespace

AlertEngine::AlertEngine(const Config& config, Metrics& metrics)
    : metrics_(metrics), config_(config), book_(config.alerts) {
    static std::once_flag curl;
    std::call_once(curl, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

AlertEngine::~AlertEngine() { Stop(); }

void AlertEngine::MakeChannels() {
    if (webhook_) webhook_->Stop();
    if (mail_) mail_->Stop();
    webhook_.reset();
    mail_.reset();
    if (!config_.alerts.webhookUrl.empty()) {
        webhook_ = std::make_unique<Outbox>("webhook", WebhookSender(config_.alerts, config_.host));
    }
    if (!config_.alerts.mailServer.empty()) {
        mail_ = std::make_unique<Outbox>("mail", MailSender(config_.alerts, config_.host));
    }
}

void AlertEngine::Start() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        MakeChannels();
    }
    thread_ = std::thread([this] { Run(); });
}

void AlertEngine::Stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    std::unique_ptr<Outbox> webhook, mail;
    {
        std::lock_guard<std::mutex> hold(lock_);
        webhook.swap(webhook_);
        mail.swap(mail_);
    }
    if (webhook) webhook->Stop();
    if (mail) mail->Stop();
}

void AlertEngine::Reconfigure(const Config& fresh) {
    std::unique_ptr<Outbox> oldWebhook, oldMail;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const bool channels = !(fresh.alerts == config_.alerts);
        const std::string database = config_.database;
        config_ = fresh;
        config_.database = database;
        book_.Reconfigure(fresh.alerts);
        if (channels) {
            // The old outboxes are stopped outside the lock: one may be
            // finishing a transfer.
            oldWebhook.swap(webhook_);
            oldMail.swap(mail_);
            MakeChannels();
        }
        wake_.notify_all();
    }
    if (oldWebhook) oldWebhook->Stop();
    if (oldMail) oldMail->Stop();
}

void AlertEngine::Run() {
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_) {
        hold.unlock();
        Evaluate();
        hold.lock();
        wake_.wait_for(hold, std::chrono::milliseconds(config_.alerts.checkMs), [this] { return stop_; });
    }
}

void AlertEngine::Restore(Connection& db) {
    std::vector<Alert> active, recent;
    std::string host;
    {
        std::lock_guard<std::mutex> hold(lock_);
        host = config_.host;
    }
    const Rows rows = db.Query(
        "SELECT id, alert_key, rule, subject, message, started, fired, last_sent, resolved, sends FROM alerts"
        " WHERE host = ? ORDER BY id DESC LIMIT 500",
        {host});
    std::set<std::string> seen;
    for (const Row& r : rows) {
        Alert a;
        a.id = AsInt(r[0]);
        a.key = AsText(r[1]);
        a.rule = AsText(r[2]);
        a.subject = AsText(r[3]);
        a.message = AsText(r[4]);
        a.started = AsText(r[5]);
        a.fired = AsText(r[6]);
        a.lastSent = AsText(r[7]);
        a.resolved = AsText(r[8]);
        a.sends = static_cast<int>(AsInt(r[9]));
        if (a.resolved.empty() && seen.insert(a.key).second) active.push_back(a);
        else if (!a.resolved.empty() && recent.size() < AlertBook::kRecent) recent.push_back(a);
    }
    std::lock_guard<std::mutex> hold(lock_);
    book_.Restore(active, recent);
}

void AlertEngine::Persist(Connection& db) {
    std::string host;
    std::vector<Alert*> dirty;
    std::lock_guard<std::mutex> hold(lock_);
    host = config_.host;
    dirty = book_.Dirty();
    // Written one by one, outside a transaction of many: one that fails
    // is tried again at the next evaluation.
    for (Alert* a : dirty) {
        const Value resolved = a->resolved.empty() ? Value(nullptr) : Value(a->resolved);
        if (a->id == 0) {
            const Rows r = db.Query(
                "INSERT INTO alerts (host, alert_key, rule, subject, message, started, fired, last_sent, resolved,"
                " sends) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
                {host, a->key, a->rule, a->subject, a->message, a->started, a->fired, a->lastSent, resolved,
                 static_cast<std::int64_t>(a->sends)});
            if (!r.empty()) a->id = AsInt(r[0][0]);
        } else {
            db.Query("UPDATE alerts SET message = ?, last_sent = ?, resolved = ?, sends = ? WHERE id = ?",
                     {a->message, a->lastSent, resolved, static_cast<std::int64_t>(a->sends), a->id});
        }
        a->dirty = false;
    }
}

std::vector<Condition> AlertEngine::Conditions(Connection* db, std::vector<std::string>& unknown) {
    Config config;
    {
        std::lock_guard<std::mutex> hold(lock_);
        config = config_;
    }
    const AlertsConfig& rules = config.alerts;
    std::vector<Condition> out;

    // Lines, as their workers published them.
    std::set<std::string> linesDown;
    const auto lineStates = metrics_.LineStates();
    for (const LineConfig& l : config.lines) {
        const auto it = lineStates.find(l.name);
        if (it == lineStates.end() || !LineDown(it->second.state)) continue;
        linesDown.insert(l.name);
        out.push_back({"line", l.name,
                       "line '" + l.name + "' (" + l.device + ") is " + it->second.state +
                           (it->second.reason.empty() ? "" : ": " + it->second.reason),
                       ParseUtc(it->second.since)});
    }

    // The database's commits.
    const Metrics::WriteState write = metrics_.LastWrite();
    if (write.failing || write.batchFailing) {
        out.push_back({"database", "", "the database's writes are failing: " + write.error, std::nullopt});
    }

    // The disk of a SQLite file.
    if (rules.diskFreeBelow > 0 && !IsPostgres(config.database)) {
        std::error_code ec;
        const auto space = std::filesystem::space(std::filesystem::path(config.database).parent_path(), ec);
        if (!ec && space.capacity > 0) {
            const double free = 100.0 * static_cast<double>(space.available) / static_cast<double>(space.capacity);
            if (free < rules.diskFreeBelow) {
                out.push_back({"disk", "", "the database's disk is nearly full: " +
                                               std::to_string(static_cast<int>(free)) + "% free (" +
                                               std::to_string(space.available / (1024 * 1024)) + " MiB)",
                               std::nullopt});
            }
        }
    }

    if (db == nullptr) {
        unknown = {"silent", "sync", "rejected"};
        out.push_back({"database", "", "the database cannot be reached", std::nullopt});
        return out;
    }
    std::map<std::pair<std::string, int>, const TerminalConfig*> ours;
    std::map<std::string, const LineConfig*> lineOf;
    for (const LineConfig& l : config.lines) {
        lineOf[l.name] = &l;
        for (const TerminalConfig& t : l.terminals) ours[{l.name, t.number}] = &t;
    }
    std::set<std::pair<std::string, int>> silent;
    const auto now = std::chrono::system_clock::now();
    {
        for (const Row& r : db->Query("SELECT line, number, state, down_since, last_error_text FROM terminals", {})) {
            const std::pair<std::string, int> id{AsText(r[0]), static_cast<int>(AsInt(r[1]))};
            const auto it = ours.find(id);
            if (it == ours.end() || AsText(r[2]) != "down") continue;
            silent.insert(id);
            // A line that is down says so itself, once for all its terminals.
            if (linesDown.count(id.first) != 0) continue;
            const std::string why = AsText(r[4]);
            out.push_back({"silent", id.first + "/" + std::to_string(id.second),
                           "terminal " + TerminalLabel(*lineOf[id.first], *it->second) + " does not answer" +
                               (why.empty() ? "" : " (" + why + ")"),
                           ParseUtc(AsText(r[3]))});
        }
    }
    if (rules.syncMs > 0) {
        for (const Row& r : db->Query(
                 "SELECT line, terminal, item, state, error FROM sync_state WHERE state IN ('pending', 'failed')", {})) {
            const std::pair<std::string, int> id{AsText(r[0]), static_cast<int>(AsInt(r[1]))};
            const auto it = ours.find(id);
            // A silent terminal misses everything: its silence is the alert.
            if (it == ours.end() || silent.count(id) != 0) continue;
            const std::string item = AsText(r[2]), error = AsText(r[4]);
            out.push_back({"sync", id.first + "/" + std::to_string(id.second) + "/" + item,
                           "terminal " + TerminalLabel(*lineOf[id.first], *it->second) + ": " + item + " is " +
                               AsText(r[3]) + (error.empty() ? "" : " (" + error + ")"),
                           std::nullopt});
        }
    }
    if (rules.rejectedWithinMs > 0) {
        const std::string from = FormatUtc(now - std::chrono::milliseconds(rules.rejectedWithinMs));
        for (const Row& r : db->Query("SELECT line, terminal, COUNT(*), MAX(stored_at) FROM rejected"
                                      " WHERE stored_at >= ? GROUP BY line, terminal",
                                      {from})) {
            const std::pair<std::string, int> id{AsText(r[0]), static_cast<int>(AsInt(r[1]))};
            const auto it = ours.find(id);
            if (it == ours.end()) continue;
            out.push_back({"rejected", id.first + "/" + std::to_string(id.second),
                           "terminal " + TerminalLabel(*lineOf[id.first], *it->second) + ": " +
                               AsText(r[2]) + " rejected record(s) since " + from + ", the last at " + AsText(r[3]),
                           std::nullopt});
        }
    }
    return out;
}

void AlertEngine::Evaluate() {
    std::vector<std::string> unknown;
    std::vector<Condition> found;
    try {
        if (!db_ || !db_->Healthy()) {
            std::string target;
            {
                std::lock_guard<std::mutex> hold(lock_);
                target = config_.database;
            }
            db_ = Open(target);
        }
        if (!restored_) {
            Restore(*db_);
            restored_ = true;
        }
        found = Conditions(db_.get(), unknown);
    } catch (const DbError&) {
        db_.reset();
        unknown.clear();
        found = Conditions(nullptr, unknown);
    }
    std::vector<Notice> notices;
    {
        std::lock_guard<std::mutex> hold(lock_);
        notices = book_.Update(found, unknown, std::chrono::system_clock::now());
        for (const Notice& n : notices) {
            Log(n.event == "resolved" ? Level::kInfo : Level::kWarning, "alert",
                {{"event", n.event}, {"alert", n.alert.key}, {"message", n.alert.message}});
            if (webhook_) webhook_->Post(n);
            if (mail_) mail_->Post(n);
        }
    }
    try {
        if (db_) Persist(*db_);
    } catch (const DbError&) {
        db_.reset();
    }
}

json AlertEngine::Snapshot() const {
    std::lock_guard<std::mutex> hold(lock_);
    json active = json::array(), recent = json::array();
    for (const Alert& a : book_.Active()) active.push_back(AlertJson(a));
    for (const Alert& a : book_.Recent()) recent.push_back(AlertJson(a));
    const AlertsConfig& r = config_.alerts;
    json channels = json::object();
    auto channel = [](const std::unique_ptr<Outbox>& o) {
        return o ? json{{"configured", true}, {"sent", o->Sent()}, {"dropped", o->Dropped()}}
                 : json{{"configured", false}};
    };
    channels["webhook"] = channel(webhook_);
    channels["mail"] = channel(mail_);
    return json{{"active", active},
                {"recent", recent},
                {"rules",
                 {{"silent_after_ms", r.silentMs},
                  {"line_after_ms", r.lineMs},
                  {"sync_after_ms", r.syncMs},
                  {"database_after_ms", r.databaseMs},
                  {"rejected_within_ms", r.rejectedWithinMs},
                  {"disk_free_below", r.diskFreeBelow},
                  {"repeat_ms", r.repeatMs}}},
                {"channels", channels}};
}

}  // namespace talvo::service
