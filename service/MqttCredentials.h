// The broker credentials file: the user name on the first line, the
// password on the second (absent or empty for none). Trailing CR and LF are
// dropped; nothing else is trimmed, so a password may hold spaces.
//
// The file must be a regular file that others cannot touch, and that its
// group can at most read when that group is the service's own (the
// package's root:quorvan-meterd 0640) — chmod 600 otherwise: a password that
// another local account could read is refused rather than sent.
#pragma once

#include <string>

struct MqttCredentials {
    bool ok = false;
    std::string user;
    std::string password;
    std::string error;  // names the file and the fix when !ok
};

MqttCredentials ReadMqttCredentials(const std::string& path);
