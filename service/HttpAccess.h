// Who may read /metrics and the status page, and over what: TLS and basic
// authentication, configured as Prometheus's own exporters configure them
// (certificate and key files, an optional client CA, users with bcrypt
// hashes), in [http.tls] and [http.basic_auth_users].
#pragma once

#include <string>
#include <utility>
#include <vector>

struct HttpAccess {
    std::string certFile;      // "" for plain HTTP; PEM, the server's certificate chain
    std::string keyFile;       // PEM private key, readable by the service alone
    std::string clientCaFile;  // "" for none; else clients must show a certificate it signed
    // User name and bcrypt hash ("$2y$10$..."); empty: no authentication.
    std::vector<std::pair<std::string, std::string>> users;

    bool Tls() const { return !certFile.empty(); }
    bool operator==(const HttpAccess&) const = default;
};
