// bcrypt, as the system's password library computes it. This header is the
// whole interface: BcryptXcrypt.cpp uses libxcrypt's crypt_r and
// crypt_gensalt_rn; another system brings its own file.
#pragma once

#include <string>

// `password` hashed with the salt and cost of `setting` (a whole hash or
// a salt, "$2y$10$..."); "" when the library refuses.
std::string BcryptWithSetting(const std::string& password, const std::string& setting);

// A new salt for `prefix` ("$2y$") and `cost`, random bytes from the
// system; "" with *error when none could be had.
std::string BcryptNewSalt(const char* prefix, unsigned long cost, std::string* error);
