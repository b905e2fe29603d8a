#include "CBasicAuth.h"

#include "Bcrypt.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cctype>

namespace {

constexpr const char* kPrefix = "$2y$";
constexpr unsigned long kCost = 10;

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Standard base64 with its padding; false on anything else.
bool DecodeBase64(const std::string& text, std::string* out)
{
    if (text.empty() || text.size() % 4 != 0)
        return false;
    out->clear();
    unsigned bits = 0;
    int count = 0;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=') {
            // Only at the end, at most two.
            if (i + 2 < text.size() || (i + 1 < text.size() && text[i + 1] != '='))
                return false;
            ++padding;
            continue;
        }
        const int v = Base64Value(text[i]);
        if (v < 0 || padding > 0)
            return false;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out->push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return padding <= 2;
}

std::string Digest(const std::string& user, const std::string& password, const std::string& hash)
{
    std::string text = user;
    text += '\0';
    text += password;
    text += '\0';
    text += hash;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        return std::string();
    return std::string(reinterpret_cast<const char*>(digest), size);
}

}  // namespace

CBasicAuth::CBasicAuth(Users users) : m_users(std::move(users)) {}

bool ParseBasicAuthorization(const std::string& authorization, std::string* user,
                             std::string* password)
{
    // The scheme is case-insensitive; one blank or more before the credentials.
    const std::string scheme = "basic ";
    if (authorization.size() < scheme.size())
        return false;
    for (size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(authorization[i])) != scheme[i])
            return false;
    const size_t start = authorization.find_first_not_of(' ', 6);
    if (start == std::string::npos)
        return false;
    std::string decoded;
    if (!DecodeBase64(authorization.substr(start), &decoded))
        return false;
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos)
        return false;
    *user = decoded.substr(0, colon);
    *password = decoded.substr(colon + 1);
    return true;
}

bool CBasicAuth::Allows(const std::string& authorization)
{
    if (!Required())
        return true;
    std::string user, password;
    if (!ParseBasicAuthorization(authorization, &user, &password))
        return false;
    return Check(user, password);
}

bool CBasicAuth::Check(const std::string& user, const std::string& password)
{
    const std::string* hash = nullptr;
    for (const auto& [name, h] : m_users)
        if (name == user)
            hash = &h;
    // An unknown user costs a bcrypt round too, with the first user's cost,
    // so the time does not tell which users exist.
    const std::string& setting = hash != nullptr ? *hash : m_users.front().second;
    const std::string digest = Digest(user, password, setting);
    if (hash != nullptr && !digest.empty()) {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_passed.count(digest) != 0)
            return true;
    }
    const std::string result = BcryptWithSetting(password, setting);
    const bool match = hash != nullptr && result.size() == hash->size() &&
                       CRYPTO_memcmp(result.data(), hash->data(), hash->size()) == 0;
    if (match && !digest.empty()) {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_passed.size() >= kCacheSize)
            m_passed.clear();
        m_passed.insert(digest);
    }
    return match;
}

std::string BcryptHash(const std::string& password, std::string* error)
{
    const std::string salt = BcryptNewSalt(kPrefix, kCost, error);
    if (salt.empty())
        return std::string();
    std::string hash = BcryptWithSetting(password, salt);
    if (hash.empty())
        *error = "bcrypt failed";
    return hash;
}
