// The broker credentials file: the user name on the first line, the
// password on the second (absent or empty for none). Trailing CR and LF are
// dropped; nothing else is trimmed, so a password may hold spaces.
// The file is read as a secret (SecretFile.h): refused while another local
// account could read it.
#pragma once

#include <string>

struct MqttCredentials {
    bool ok = false;
    std::string user;
    std::string password;
    std::string error;  // names the file and the fix when !ok
};

MqttCredentials ReadMqttCredentials(const std::string& path);
