#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace quarn::service {

/// A failure of the SQLite layer, with SQLite's own message.
class DatabaseError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

/// One prepared statement. Binding is positional from 1; columns from 0.
class Statement
{
public:
    Statement(sqlite3 *db, std::string_view sql);
    ~Statement();
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int index, std::string_view value);
    Statement &bind(int index, const std::string &value) { return bind(index, std::string_view(value)); }
    Statement &bind(int index, const char *value) { return bind(index, std::string_view(value)); }
    Statement &bind(int index, std::int64_t value);
    Statement &bind(int index, const std::optional<std::string> &value);
    Statement &bind(int index, const std::optional<std::int64_t> &value);
    Statement &bindNull(int index);

    /// Advances to the next row; false when there is none.
    bool step();
    /// Runs a statement that returns no rows.
    void run();

    [[nodiscard]] std::string text(int column) const;
    [[nodiscard]] std::optional<std::string> optionalText(int column) const;
    [[nodiscard]] std::int64_t integer(int column) const;
    [[nodiscard]] std::optional<std::int64_t> optionalInteger(int column) const;

private:
    sqlite3 *m_db;
    sqlite3_stmt *m_stmt = nullptr;
};

/// One SQLite connection on a file in WAL mode. Not thread-safe by itself: the
/// store serialises every use of it.
class Database
{
public:
    explicit Database(const std::string &path);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    void exec(std::string_view sql);
    [[nodiscard]] Statement prepare(std::string_view sql) { return Statement(m_db, sql); }
    [[nodiscard]] int changes() const;

private:
    sqlite3 *m_db = nullptr;
};

/// A transaction that rolls back unless committed, so that a failure half way
/// through an operation leaves nothing half-written.
class Transaction
{
public:
    /// `write` takes the write lock at once (BEGIN IMMEDIATE), so that a
    /// read-then-write never fails on a lock upgrade.
    Transaction(Database &db, bool write);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    void commit();

private:
    Database &m_db;
    bool m_open = true;
};

} // namespace quarn::service
