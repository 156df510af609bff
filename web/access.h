// Who may change the board through the web page: the password (an Argon2id
// hash made by libsodium), the sessions of those who gave it, each with its
// anti-forgery token, and the brake on guessing. Plain C++ (libsodium).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace korvel::web {

// libsodium's start-up; false when it cannot run (no randomness).
bool start_crypto();

// A "$argon2id$..." line for the password file (libsodium's
// crypto_pwhash_str, its interactive costs). Empty when the hash cannot be
// made (out of memory).
std::string hash_password(std::string_view password);
// Whether the password matches the hash. Takes a tenth of a second and
// 64 MiB: run it off the panel's thread.
bool verify_password(const std::string& hash, std::string_view password);
// The hash in the password file: its first line. Nothing, and *error the
// cause, when the file cannot be read or holds no such hash.
std::optional<std::string> read_password_file(const std::string& path, std::string* error);

// n random bytes as 2n lowercase hex digits.
std::string random_hex(std::size_t bytes);
// Compares in time independent of where the texts differ.
bool same_secret(std::string_view a, std::string_view b);

struct Session {
    std::string id;     // the cookie's value
    std::string token;  // the anti-forgery token every change carries
    std::int64_t last_used_ms = 0;
};

// The sessions of logged-in pages. A session ends after `idle_ms` without
// use, at logout, or when `max_sessions` newer ones push it out.
class Sessions {
public:
    static constexpr std::size_t max_sessions = 32;
    static constexpr std::int64_t idle_ms = 30LL * 60 * 1000;

    const Session& open(std::int64_t now_ms);
    // The session with that id, its last use now; nullptr for none or an
    // expired one.
    const Session* find(std::string_view id, std::int64_t now_ms);
    void close(std::string_view id);
    std::size_t size() const { return sessions_.size(); }

private:
    std::map<std::string, Session, std::less<>> sessions_;
};

// Failed logins, per client address: after `free_failures` in a row, each
// further attempt must wait, one second doubled with each failure up to
// five minutes. A success forgets the address's failures. At most
// `max_addresses` are remembered (the least recent go first).
class LoginThrottle {
public:
    static constexpr int free_failures = 3;
    static constexpr std::int64_t max_wait_ms = 5LL * 60 * 1000;
    static constexpr std::size_t max_addresses = 1024;

    // Milliseconds until this address may try again; 0 now.
    std::int64_t wait_ms(const std::string& address, std::int64_t now_ms) const;
    void failed(const std::string& address, std::int64_t now_ms);
    void succeeded(const std::string& address);

private:
    struct Record {
        int failures = 0;
        std::int64_t last_ms = 0;
        std::int64_t until_ms = 0;
    };
    std::map<std::string, Record> records_;
};

} // namespace korvel::web
