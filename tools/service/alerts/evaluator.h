// The alerts' own thread: every [alerts] check interval it looks at what the
// workers published (the lines' states, the database's last writes) and at
// the database (terminals, desired-state items, rejected records, the
// disk), updates the book, writes the alerts' rows and hands the messages
// to the channels.  It never runs on a line's worker and never waits for
// one; a channel that is slow or gone delays only its own queue.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "alerts/channels.h"
#include "alerts/rules.h"
#include "config.h"
#include "db/database.h"
#include "http/metrics.h"

namespace talvo::service {

class AlertEngine {
public:
    AlertEngine(const Config& config, Metrics& metrics);
    ~AlertEngine();
    AlertEngine(const AlertEngine&) = delete;
    AlertEngine& operator=(const AlertEngine&) = delete;

    void Start();
    // The thread and the channels stop; messages still queued are not sent.
    void Stop();
    // The configuration read again: rules, channels and lines.
    void Reconfigure(const Config& fresh);

    // {"active": [...], "recent": [...], "rules": {...}, "channels": {...}}
    nlohmann::json Snapshot() const;

private:
    void Run();
    void Evaluate();
    std::vector<Condition> Conditions(Connection* db, std::vector<std::string>& unknown);
    void Persist(Connection& db);
    void Restore(Connection& db);
    void MakeChannels();

    Metrics& metrics_;
    mutable std::mutex lock_;  // everything below
    Config config_;
    AlertBook book_;
    std::unique_ptr<Outbox> webhook_, mail_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool restored_ = false;
    std::unique_ptr<Connection> db_;  // the thread's own
    // The database's writes failing, as first seen (they carry no start).
    std::thread thread_;
};

}  // namespace talvo::service
