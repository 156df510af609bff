#include "store/sqlite.h"

namespace korvel::store {

int Connection::open(const std::string& path, int flags, std::string* why)
{
    close();
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        if (why)
            *why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        close();
        return rc;
    }
    sqlite3_extended_result_codes(db_, 0);
    return SQLITE_OK;
}

void Connection::close()
{
    if (db_)
        sqlite3_close_v2(db_);
    db_ = nullptr;
}

int Connection::exec(const char* sql, std::string* why)
{
    char* error = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK && why)
        *why = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    return rc;
}

Statement::Statement(const Connection& db, std::string_view sql)
{
    prepare_code_ = sqlite3_prepare_v2(db.get(), sql.data(), int(sql.size()), &stmt_, nullptr);
    if (prepare_code_ != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

} // namespace korvel::store
