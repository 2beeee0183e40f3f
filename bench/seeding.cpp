#include "seeding.h"

#include <sqlite3.h>

#include <memory>

namespace quarn::bench {

namespace {

std::string quoted(const std::string &text)
{
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'')
            out += '\'';
        out += c;
    }
    return out + "'";
}

} // namespace

std::string seedConversations(
    const std::string &databasePath, const std::string &status, int count, const std::string &userId)
{
    if (count <= 0)
        return {};
    sqlite3 *opened = nullptr;
    const int rc = sqlite3_open(databasePath.c_str(), &opened);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(opened, &sqlite3_close);
    if (rc != SQLITE_OK)
        return "cannot open the service database " + databasePath;
    sqlite3_busy_timeout(db.get(), 5000);
    const std::string user = userId.empty() ? "(SELECT id FROM users ORDER BY rowid LIMIT 1)" : quoted(userId);
    const std::string sql = "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i < "
        + std::to_string(count - 1)
        + ")"
          " INSERT INTO conversations(id, user_id, subject, status, transport, participant_name,"
          " participant_address, preview, last_message_at, unread, ai_summary, created_at)"
          " SELECT 'conv_' || "
        + quoted(status) + " || '_' || i, " + user + ", '週次レポート Subject ' || i, " + quoted(status)
        + ", 'email', '取引先 ' || (i % 500), 'partner' || (i % 500) || '@example.com',"
          " '来週の打ち合わせについて、資料の確認をお願いします。Please review the attached draft #' || i || '.',"
          " 1700000000000 + i, 1, CASE WHEN i % 2 THEN '資料の確認依頼 ' || i END, 1700000000000 + i FROM n";
    char *error = nullptr;
    if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = "cannot seed the conversations: " + std::string(error ? error : "?");
        sqlite3_free(error);
        return message;
    }
    // The service reads them at once: nothing stays behind in the log.
    sqlite3_exec(db.get(), "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    return {};
}

} // namespace quarn::bench
