// Certificates for TLS tests, made with Debian's openssl in a folder the
// test owns: a CA, a server certificate for 127.0.0.1 signed by it, a
// client certificate signed by it, and a second CA that signed nothing.
// Keys are mode 0600, as a service's key must be.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

struct TestCerts {
    std::string ca, serverCert, serverKey, clientCert, clientKey, otherCa;
};

// False when openssl failed (or is missing).
inline bool MakeTestCerts(const std::string& dir, TestCerts* certs)
{
    const std::string req =
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
    const std::string sign = "openssl x509 -req -CA ca.crt -CAkey ca.key -CAcreateserial -days 2";
    const std::vector<std::string> steps = {
        "set -e",
        "cd '" + dir + "'",
        "exec 2>/dev/null",
        "umask 077",
        req + " -x509 -keyout ca.key -out ca.crt -subj /CN=test-ca",
        req + " -x509 -keyout other.key -out other.crt -subj /CN=other-ca",
        req + " -keyout server.key -out server.csr -subj /CN=127.0.0.1",
        "printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext",
        sign + " -in server.csr -extfile san.ext -out server.crt",
        req + " -keyout client.key -out client.csr -subj /CN=prometheus",
        sign + " -in client.csr -out client.crt",
        "chmod 644 ca.crt other.crt server.crt client.crt",
    };
    std::string script;
    for (const std::string& step : steps)
        script += step + "; ";
    const int status = std::system(script.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    *certs = TestCerts{dir + "/ca.crt",     dir + "/server.crt", dir + "/server.key",
                       dir + "/client.crt", dir + "/client.key", dir + "/other.crt"};
    return true;
}
