// The state a site wants its terminals in: the blacklist, the price menu,
// the subsidy list, time zones, parameters and lock state, for the whole
// site and per terminal group.  Kept in the database with a version per
// item; the line workers bring their terminals to it (manage/sync.cpp) and
// record per terminal and item what they found.
//
// Every value is kept as canonical JSON text: the same value always gives
// the same text, so "the terminal holds what is wanted" is a comparison of
// two texts.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "db/database.h"

namespace talvo::service {

// What the blacklist holds at most (its positions are 0 to 65535), and the
// most entries of the other lists.
constexpr std::size_t kBlacklistCapacity = 65536;
constexpr std::size_t kMenuCapacity = 255;
constexpr std::size_t kSubsidyCapacity = 255;

struct ItemInfo {
    const char* name;
    const char* kind;  // the terminals that keep it: "payment" or "attendance"
    bool readable;     // the terminal can be asked what it holds
    bool secret;       // never shown back
};

// blacklist, menu, subsidy, zones, cmw, mdeb, lock, card_key, attend_zones,
// reasons.
const std::vector<ItemInfo>& Items();
const ItemInfo* FindItem(const std::string& name);

// Checks a value given through the interface and makes its canonical text.
// False with `error` saying what is wrong.
//   menu: ["1.50", "2.00", ...]            0 to 255 prices, 0.00 to 9999.99
//   subsidy: {"entries": [...], "max": "5.00", "time": "..."}
//   zones: ["07:00", ...]                   1 to 8 times of day (the rest 00:00)
//   cmw: "TEXT"   mdeb: "12.50"   lock: true   card_key: "A1B2C3"
//   attend_zones: ["07:00-09:00/01", ...]   1 to 8 zones
//   reasons: {"1": "SICK", ...}              numbers 0 to 255, up to 8 bytes each
bool CanonicalValue(const std::string& item, const nlohmann::json& value, std::string& canonical,
                    std::string& error);

// A stored value in the form the interface takes it: amounts as texts
// ("1.60"), the subsidy's maximum as "max"; a secret item as {"set": true}.
// Given back unchanged, it sets what is stored.
nlohmann::json InterfaceValue(const std::string& item, const std::string& canonical);
// {"set": true} for a secret item: "keep what is stored" (the value read
// back and written back unchanged).
bool KeepsSecret(const std::string& item, const nlohmann::json& value);

// A card number as the blacklist takes it: exactly six digits (the
// command-line tool's check).
bool ValidCard(const std::string& card);

// "site", or a group of terminals named in the configuration.
constexpr const char* kSiteScope = "site";

struct DesiredItem {
    std::string scope, item;
    std::int64_t version = 0;
    std::string value;  // canonical text
    std::string changedAt, changedBy;
};

struct BlockedCard {
    std::string scope, card, reason, by, at;
    bool blocked = true;
};

// Everything wanted, as one snapshot.
struct Desired {
    std::int64_t generation = 0;
    std::map<std::pair<std::string, std::string>, DesiredItem> items;  // (scope, item)
    std::map<std::string, std::set<std::string>> blocked;             // scope -> cards
    std::map<std::string, std::int64_t> blacklistVersions;            // scope -> version

    // What one terminal of `kind` in `group` ("" for none) must hold: item
    // name -> canonical value; items nobody set are left out.
    std::map<std::string, std::string> For(const std::string& kind, const std::string& group) const;
};

// Changes in every desired-state table move this number; a worker reloads
// the snapshot when it has moved.
std::int64_t DesiredGeneration(Connection& db);
Desired LoadDesired(Connection& db);

// A change refused: the version given is not the current one (409), or the
// request is wrong (400).
struct ChangeResult {
    int status = 200;
    std::string error;
    std::int64_t version = 0;  // the item's version afterwards
};

// Who changed something, for the audit table.
struct Actor {
    std::string name;
    std::string address;
};

// Sets an item of a scope when `expected` is its current version (0: not
// set yet); writes the audit row in the same transaction.
ChangeResult SetItem(Connection& db, const std::string& scope, const std::string& item, std::int64_t expected,
                     const std::string& canonical, const Actor& who);
// No longer kept at this scope.
ChangeResult RemoveItem(Connection& db, const std::string& scope, const std::string& item, std::int64_t expected,
                        const Actor& who);
// Blocks or unblocks a card; `expected` (when given) must be the scope's
// blacklist version.  Unblocking keeps the card's history.
ChangeResult SetCardBlocked(Connection& db, const std::string& scope, const std::string& card, bool blocked,
                            const std::string& reason, std::optional<std::int64_t> expected, const Actor& who);

struct CardEvent {
    std::string scope, card, action, reason, by, at;
};
// Cards a read-back found on terminal `terminal` of `line` (in `group`, ""
// for none) that were not in what it was to hold (`wanted`; both canonical
// lists): blocked for the terminal's group (or the site), reason "found on
// LINE/N", audited, so that they reach the terminal's other peers and stay
// until someone unblocks them.  Returns the found cards the terminal is to
// keep: those adopted, and those blocked meanwhile for its scope; a card
// someone unblocked there is left out (that is what removes a card, and
// the terminal has not caught up yet).  `adopted` counts the first kind.
// Throws DbError.
std::vector<std::string> AdoptFoundCards(Connection& db, const std::string& line, int terminal,
                                         const std::string& group, const std::string& wanted,
                                         const std::string& found, std::size_t& adopted);

std::vector<CardEvent> CardHistory(Connection& db, const std::string& card);
// Blocked cards (all scopes) newest first; with `prefix`, every card
// starting with it, blocked or not.  A page of them, and how many there are.
struct BlockedPage {
    std::int64_t total = 0;
    std::vector<BlockedCard> cards;
};
BlockedPage ListBlocked(Connection& db, const std::string& prefix, std::int64_t limit, std::int64_t offset = 0);

struct AuditRow {
    std::int64_t id = 0;
    std::string at, who, address, action, detail;
    std::string outcome;  // "done", "refused 409: ...", "asked" (a command not finished)
};
std::vector<AuditRow> ListAudit(Connection& db, std::int64_t limit, std::int64_t offset);
// Returns the row's id.
std::int64_t WriteAudit(Connection& db, const Actor& who, const std::string& action, const std::string& detail,
                        const std::string& outcome = "done");
void SetAuditOutcome(Connection& db, std::int64_t id, const std::string& outcome);

// Per terminal and item: what the worker last found.
struct SyncRow {
    std::string line;
    int terminal = 0;
    std::string item;
    std::string state;    // in_sync, pending, failed
    std::string applied;  // canonical value the terminal is known to hold ("" when unknown)
    std::string error;
    int failures = 0;
    std::string lastMatch;  // when it last held what was wanted
    std::string verified;   // when it was last read back and matched
    std::string updated;
};
// What a sync row keeps for a secret item's value.
std::string SecretDigest(const std::string& canonical);
std::vector<SyncRow> ListSync(Connection& db, const std::string& line = "");
void SaveSync(Connection& db, const SyncRow& row);
void ForgetSync(Connection& db, const std::string& line, int terminal, const std::string& item);

}  // namespace talvo::service
