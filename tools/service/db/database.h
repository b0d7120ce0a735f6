// The service's database: one interface over SQLite (a file, WAL mode) and
// PostgreSQL (libpq).  Statements are written once with `?` placeholders and
// every value is bound as a parameter, never pasted into the text.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace talvo::service {

// A database failure: connection lost, statement refused, commit failed.
class DbError : public std::runtime_error {
public:
    // kLost: the connection or the server is gone (a fresh connection may
    // do); kConflict: another transaction got in the way (a serialization
    // failure, a deadlock, a key written meanwhile, SQLite busy): trying
    // again may do.
    enum class Cause { kOther, kLost, kConflict };
    explicit DbError(const std::string& what, Cause cause = Cause::kOther)
        : std::runtime_error(what), cause_(cause) {}
    Cause cause() const { return cause_; }

private:
    Cause cause_;
};

using Value = std::variant<std::nullptr_t, std::int64_t, std::string>;
using Row = std::vector<std::optional<std::string>>;
using Rows = std::vector<Row>;

enum class Backend { kSqlite, kPostgres };

class Connection {
public:
    virtual ~Connection() = default;
    virtual Backend Kind() const = 0;
    // Runs a statement without parameters (schema, transactions).
    virtual void Exec(const std::string& sql) = 0;
    // Runs one statement with bound parameters; every column comes back as
    // text (null as nullopt).
    virtual Rows Query(const std::string& sql, const std::vector<Value>& params = {}) = 0;
    // The same for a statement run again and again (the store's): prepared
    // once per connection where the backend gains by it (PostgreSQL: the
    // server parses and plans it once).
    virtual Rows QueryRepeated(const std::string& sql, const std::vector<Value>& params) { return Query(sql, params); }
    // False once the connection is known to be unusable (then open a new one).
    virtual bool Healthy() const = 0;

    // A transaction that writes: BEGIN IMMEDIATE on SQLite, so that two
    // writers queue at the start instead of failing at the first write.
    virtual void BeginWrite() = 0;
    void Commit() { Exec("COMMIT"); }
    void Rollback() noexcept;
    // After a COMMIT that failed: a transaction it left open is rolled back
    // (or the connection given up when even that fails), so that the next
    // statement does not run inside it.
    virtual void AfterFailedCommit() noexcept { Rollback(); }
};

// The longest a PostgreSQL statement may take before the connection is
// given up (the server ends the statement when it finds the connection gone).
constexpr int kStatementSeconds = 20;

// Opens the database named by `target`: "postgresql://..." or
// "postgres://..." (or a key=value libpq string starting with "host=" or
// "dbname="), otherwise a SQLite file path.  Throws DbError.
std::unique_ptr<Connection> Open(const std::string& target);
// True when `target` names a PostgreSQL database.
bool IsPostgres(const std::string& target);
// `target` without a password, for logs and messages.
std::string Describe(const std::string& target);

// Brings the schema to the current version (idempotent, safe when several
// services start at once on one PostgreSQL).  Returns the version.
int Migrate(Connection& db);
int SchemaVersion();

// Rolls back on scope exit unless committed.
class Transaction {
public:
    explicit Transaction(Connection& db) : db_(db) { db_.BeginWrite(); }
    ~Transaction() {
        if (!done_) db_.Rollback();
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    // Rolled back now (to write something else after it).
    void Abandon() {
        if (!done_) db_.Rollback();
        done_ = true;
    }
    void Commit() {
        done_ = true;
        try {
            db_.Commit();
        } catch (const DbError&) {
            db_.AfterFailedCommit();
            throw;
        }
    }

private:
    Connection& db_;
    bool done_ = false;
};

// Helpers for reading text columns.
std::int64_t AsInt(const std::optional<std::string>& v, std::int64_t otherwise = 0);
std::string AsText(const std::optional<std::string>& v);

}  // namespace talvo::service
