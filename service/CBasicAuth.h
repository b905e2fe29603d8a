// HTTP basic authentication against bcrypt hashes, as Prometheus's
// exporters do it: the users and hashes of [http.basic_auth_users].
//
// The hash is checked by the system's bcrypt (Bcrypt.h) and compared in
// constant time; a user that does not exist costs the same bcrypt round as one that
// does. bcrypt takes tens of milliseconds on purpose, so a pair that
// passed is remembered (as a SHA-256 of user, password and hash, at most
// kCacheSize of them) and a scraper's next request costs microseconds.
// Thread-safe: the HTTP workers call Allows() at once.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

class CBasicAuth {
public:
    using Users = std::vector<std::pair<std::string, std::string>>;  // user, bcrypt hash

    explicit CBasicAuth(Users users);

    // Any user configured: requests must authenticate.
    bool Required() const { return !m_users.empty(); }
    // `authorization` is the request's Authorization header ("" if none).
    bool Allows(const std::string& authorization);

    static constexpr size_t kCacheSize = 64;

private:
    bool Check(const std::string& user, const std::string& password);

    const Users m_users;
    std::mutex m_lock;
    std::set<std::string> m_passed;  // digests of pairs that passed
};

// A new bcrypt hash ($2y$, cost 10) of `password`, for the configuration;
// "" with *error when the system could not make one.
std::string BcryptHash(const std::string& password, std::string* error);

// The user and password of a "Basic ..." Authorization value; false when
// it is not one.
bool ParseBasicAuthorization(const std::string& authorization, std::string* user,
                             std::string* password);
