// Basic authentication in a build without bcrypt and OpenSSL (Windows:
// Debian builds libxcrypt and OpenSSL for Linux only). The configuration
// refuses [http.basic_auth_users] there; should users reach the server all
// the same, every request is refused, never let in without a check.
#include "CBasicAuth.h"

CBasicAuth::CBasicAuth(Users users) : m_users(std::move(users)) {}

bool CBasicAuth::Allows(const std::string&)
{
    return !Required();
}

std::string BcryptHash(const std::string&, std::string* error)
{
    *error = "bcrypt is not part of this build";
    return std::string();
}
