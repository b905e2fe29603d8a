// A test's HTTP client for the servers it starts on loopback: the service,
// Prometheus.
#pragma once

#include <httplib.h>

#include <cctype>
#include <cstdio>
#include <string>

// The body of GET http://127.0.0.1:port/path, or "" unless the answer is 200.
inline std::string HttpGet(int port, const std::string& path)
{
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5, 0);
    auto result = client.Get(path.c_str());
    return result && result->status == 200 ? result->body : std::string();
}

// `text` for a query string: all but letters, digits, '_' and '.' as %XX.
inline std::string UrlEncoded(const std::string& text)
{
    std::string out;
    char hex[4];
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '_' || c == '.') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}
