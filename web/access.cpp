#include "web/access.h"

#include <sodium.h>

#include <algorithm>
#include <fstream>
#include <vector>

namespace korvel::web {

bool start_crypto()
{
    return sodium_init() >= 0;
}

std::string hash_password(std::string_view password)
{
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return {};
    return out;
}

bool verify_password(const std::string& hash, std::string_view password)
{
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::optional<std::string> read_password_file(const std::string& path, std::string* error)
{
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read it";
        return std::nullopt;
    }
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    if (line.rfind("$argon2id$", 0) != 0 || line.size() >= crypto_pwhash_STRBYTES) {
        *error = "its first line is no Argon2id hash";
        return std::nullopt;
    }
    return line;
}

std::string random_hex(std::size_t bytes)
{
    std::vector<unsigned char> raw(bytes);
    randombytes_buf(raw.data(), raw.size());
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char b : raw) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

bool same_secret(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && !a.empty() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

const Session& Sessions::open(std::int64_t now_ms)
{
    // Expired sessions first, then the least recently used, make room.
    std::erase_if(sessions_, [now_ms](const auto& s) { return now_ms - s.second.last_used_ms > idle_ms; });
    while (sessions_.size() >= max_sessions) {
        auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
            return a.second.last_used_ms < b.second.last_used_ms;
        });
        sessions_.erase(oldest);
    }
    Session s{random_hex(32), random_hex(32), now_ms};
    const std::string id = s.id;
    return sessions_.insert_or_assign(id, std::move(s)).first->second;
}

const Session* Sessions::find(std::string_view id, std::int64_t now_ms)
{
    // Ids are 256 random bits: how long a lookup takes tells a guesser
    // nothing of use. The anti-forgery token is compared in constant time.
    const auto it = sessions_.find(id);
    if (it == sessions_.end() || id.empty())
        return nullptr;
    if (now_ms - it->second.last_used_ms > idle_ms) {
        sessions_.erase(it);
        return nullptr;
    }
    it->second.last_used_ms = std::max(it->second.last_used_ms, now_ms);
    return &it->second;
}

void Sessions::close(std::string_view id)
{
    if (const auto it = sessions_.find(id); it != sessions_.end())
        sessions_.erase(it);
}

std::int64_t LoginThrottle::wait_ms(const std::string& address, std::int64_t now_ms) const
{
    const auto it = records_.find(address);
    if (it == records_.end() || it->second.until_ms <= now_ms)
        return 0;
    return it->second.until_ms - now_ms;
}

void LoginThrottle::failed(const std::string& address, std::int64_t now_ms)
{
    if (!records_.contains(address) && records_.size() >= max_addresses) {
        auto oldest = std::min_element(records_.begin(), records_.end(), [](const auto& a, const auto& b) {
            return a.second.last_ms < b.second.last_ms;
        });
        records_.erase(oldest);
    }
    Record& r = records_[address];
    r.failures = std::min(r.failures + 1, 64);
    r.last_ms = now_ms;
    if (r.failures >= free_failures) {
        const int doublings = std::min(r.failures - free_failures, 20);
        r.until_ms = now_ms + std::min<std::int64_t>(1000LL << doublings, max_wait_ms);
    }
}

void LoginThrottle::succeeded(const std::string& address)
{
    records_.erase(address);
}

} // namespace korvel::web
