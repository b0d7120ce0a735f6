#include "db/ownership.h"

#include <algorithm>
#include <chrono>

#include "db/store.h"

namespace talvo::service {
namespace {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Claim ClaimLine(Connection& db, const std::string& line, const std::string& host) {
    Transaction tx(db);
    const std::int64_t now = NowMs();
    // One statement: free, ours, or given up by a silent holder.
    db.Query(
        "INSERT INTO line_owners (line, host, claimed, heartbeat_ms) VALUES (?, ?, ?, ?)"
        " ON CONFLICT (line) DO UPDATE SET host = excluded.host, claimed = excluded.claimed,"
        " heartbeat_ms = excluded.heartbeat_ms"
        " WHERE line_owners.host = excluded.host OR line_owners.heartbeat_ms < ?",
        {line, host, UtcNow(), now, now - kClaimAliveMs});
    const Rows r = db.Query("SELECT host, heartbeat_ms FROM line_owners WHERE line = ?", {line});
    tx.Commit();
    Claim c;
    if (r.empty()) return c;
    c.holder = AsText(r[0][0]);
    c.ours = c.holder == host;
    c.silentMs = std::max<std::int64_t>(0, now - AsInt(r[0][1]));
    return c;
}

void ReleaseOthers(Connection& db, const std::string& host, const std::vector<ConfiguredTerminal>& configured) {
    auto lineConfigured = [&](const std::string& line) {
        return std::any_of(configured.begin(), configured.end(), [&](const ConfiguredTerminal& t) { return t.line == line; });
    };
    Transaction tx(db);
    for (const Row& r : db.Query("SELECT line FROM line_owners WHERE host = ?", {host})) {
        const std::string line = AsText(r[0]);
        if (!lineConfigured(line)) db.Query("DELETE FROM line_owners WHERE line = ? AND host = ?", {line, host});
    }
    for (const Row& r : db.Query("SELECT line, number FROM terminals WHERE host = ? AND state <> 'not configured'", {host})) {
        const std::string line = AsText(r[0]);
        const std::int64_t number = AsInt(r[1]);
        const bool named = std::any_of(configured.begin(), configured.end(), [&](const ConfiguredTerminal& t) {
            return t.line == line && t.number == number;
        });
        if (named) continue;
        db.Query("UPDATE terminals SET state = 'not configured', waiting = NULL, updated = ? WHERE line = ? AND number = ?"
                 " AND host = ?",
                 {UtcNow(), line, number, host});
        // What it held of the desired state is no longer kept up to date.
        db.Query("DELETE FROM sync_state WHERE line = ? AND terminal = ?", {line, number});
    }
    tx.Commit();
}

std::string ClaimRefusal(const std::string& line, const Claim& claim) {
    return "line '" + line + "' belongs to the service on host '" + claim.holder + "' (heard from " +
           std::to_string(claim.silentMs / 1000) +
           " s ago); stop that service, or give the line another name in one of the two configurations";
}

}  // namespace talvo::service
