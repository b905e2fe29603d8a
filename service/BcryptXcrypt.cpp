#include "Bcrypt.h"

#include <crypt.h>

#include <cerrno>
#include <cstring>
#include <memory>

std::string BcryptWithSetting(const std::string& password, const std::string& setting)
{
    auto data = std::make_unique<crypt_data>();  // 32 KiB: not on a worker's stack
    std::memset(data.get(), 0, sizeof(crypt_data));
    const char* result = crypt_r(password.c_str(), setting.c_str(), data.get());
    // libxcrypt answers a failure with a string starting with '*'.
    if (result == nullptr || result[0] == '*')
        return std::string();
    return result;
}

std::string BcryptNewSalt(const char* prefix, unsigned long cost, std::string* error)
{
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    // No random bytes given: libxcrypt takes them from the system.
    if (crypt_gensalt_rn(prefix, cost, nullptr, 0, salt, sizeof salt) == nullptr) {
        *error = std::string("cannot make a bcrypt salt: ") + std::strerror(errno);
        return std::string();
    }
    return salt;
}
