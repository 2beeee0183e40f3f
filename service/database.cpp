#include "database.h"

#include <sqlite3.h>

namespace quarn::service {

namespace {
[[noreturn]] void fail(sqlite3 *db, std::string_view what)
{
    throw DatabaseError(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "no connection"));
}
} // namespace

Statement::Statement(sqlite3 *db, std::string_view sql)
    : m_db(db)
{
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &m_stmt, nullptr) != SQLITE_OK)
        fail(db, "prepare");
}

Statement::~Statement()
{
    sqlite3_finalize(m_stmt);
}

Statement &Statement::bind(int index, std::string_view value)
{
    if (sqlite3_bind_text64(m_stmt, index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8) != SQLITE_OK)
        fail(m_db, "bind");
    return *this;
}

Statement &Statement::bind(int index, std::int64_t value)
{
    if (sqlite3_bind_int64(m_stmt, index, value) != SQLITE_OK)
        fail(m_db, "bind");
    return *this;
}

Statement &Statement::bind(int index, const std::optional<std::string> &value)
{
    return value ? bind(index, std::string_view(*value)) : bindNull(index);
}

Statement &Statement::bind(int index, const std::optional<std::int64_t> &value)
{
    return value ? bind(index, *value) : bindNull(index);
}

Statement &Statement::bindNull(int index)
{
    if (sqlite3_bind_null(m_stmt, index) != SQLITE_OK)
        fail(m_db, "bind");
    return *this;
}

bool Statement::step()
{
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    fail(m_db, "step");
}

void Statement::run()
{
    while (step()) { }
}

std::string Statement::text(int column) const
{
    const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
    const int n = sqlite3_column_bytes(m_stmt, column);
    return p ? std::string(p, static_cast<std::size_t>(n)) : std::string();
}

std::optional<std::string> Statement::optionalText(int column) const
{
    if (sqlite3_column_type(m_stmt, column) == SQLITE_NULL)
        return std::nullopt;
    return text(column);
}

std::int64_t Statement::integer(int column) const
{
    return sqlite3_column_int64(m_stmt, column);
}

std::optional<std::int64_t> Statement::optionalInteger(int column) const
{
    if (sqlite3_column_type(m_stmt, column) == SQLITE_NULL)
        return std::nullopt;
    return integer(column);
}

Database::Database(const std::string &path)
{
    if (sqlite3_open_v2(
            path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr)
        != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        m_db = nullptr;
        throw DatabaseError("open " + path + ": " + message);
    }
    // Other processes (the deliver command) write to the same file; wait for
    // them instead of failing at once.
    sqlite3_busy_timeout(m_db, 10000);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA foreign_keys=ON");
}

Database::~Database()
{
    sqlite3_close_v2(m_db);
}

void Database::exec(std::string_view sql)
{
    char *error = nullptr;
    const std::string copy(sql);
    if (sqlite3_exec(m_db, copy.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw DatabaseError(message);
    }
}

int Database::changes() const
{
    return sqlite3_changes(m_db);
}

Transaction::Transaction(Database &db, bool write)
    : m_db(db)
{
    m_db.exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction()
{
    if (m_open) {
        try {
            m_db.exec("ROLLBACK");
        } catch (...) { }
    }
}

void Transaction::commit()
{
    m_db.exec("COMMIT");
    m_open = false;
}

} // namespace quarn::service
