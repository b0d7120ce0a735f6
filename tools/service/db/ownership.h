// Each line belongs to one service.  Services that share a database (one
// PostgreSQL for a site) each claim their lines by name at the start and
// keep the claim alive with a heartbeat; a line held by another live
// service is refused, so that two lines of one name never merge their
// terminals or take each other's batches for replays.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/database.h"

namespace talvo::service {

// A claim is alive this long after its last heartbeat.
constexpr std::int64_t kClaimAliveMs = 60'000;
// How often a service renews its claims.
constexpr std::int64_t kHeartbeatMs = 10'000;

struct Claim {
    bool ours = false;
    std::string holder;        // the host holding it when not ours
    std::int64_t silentMs = 0;  // since the holder's last heartbeat
};

// Claims `line` for `host`: free, already ours, or its holder silent for
// longer than kClaimAliveMs.
Claim ClaimLine(Connection& db, const std::string& line, const std::string& host);
// Gives up this host's claims of lines not in `lines`, and shows this host's
// terminals that the configuration no longer names as "not configured".
struct ConfiguredTerminal {
    std::string line;
    int number = 0;
};
void ReleaseOthers(Connection& db, const std::string& host, const std::vector<ConfiguredTerminal>& configured);

// "line 'hall' belongs to the service on host 'till-pc-2' (heard from 3 s ago)".
std::string ClaimRefusal(const std::string& line, const Claim& claim);

}  // namespace talvo::service
