// A thin hold on SQLite for the store: a connection and a prepared
// statement that close themselves, and errors as text. Plain C++.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace korvel::store {

class Connection {
public:
    Connection() = default;
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // SQLITE_OK, or the code with the reason in *why.
    int open(const std::string& path, int flags, std::string* why);
    void close();
    sqlite3* get() const { return db_; }
    explicit operator bool() const { return db_ != nullptr; }
    // Runs statements without results; SQLITE_OK or the code, the reason in
    // *why when given.
    int exec(const char* sql, std::string* why = nullptr);
    std::string message() const { return db_ ? sqlite3_errmsg(db_) : "out of memory"; }

private:
    sqlite3* db_ = nullptr;
};

class Statement {
public:
    Statement(const Connection& db, std::string_view sql);
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    int prepare_code() const { return prepare_code_; }
    Statement& bind(int i, std::int64_t v)
    {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& bind_text(int i, const std::string& v)
    {
        sqlite3_bind_text(stmt_, i, v.c_str(), int(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return stmt_ ? sqlite3_step(stmt_) : prepare_code_; }
    void reset()
    {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    std::int64_t integer(int i) const { return sqlite3_column_int64(stmt_, i); }
    bool null(int i) const { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }
    std::string text(int i) const
    {
        const auto* t = sqlite3_column_text(stmt_, i);
        return t ? reinterpret_cast<const char*>(t) : "";
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int prepare_code_ = SQLITE_OK;
};

} // namespace korvel::store
