// A small file that holds a secret (the broker's password, the TLS private
// key): read only when no one but the service may read it.
//
// The file must be a regular file that others cannot touch, and that its
// group can at most read when that group is the service's own (the
// package's root:quorvan-meterd 0640) — chmod 600 otherwise: a secret that
// another local account could read is refused rather than used. This
// header is the whole interface: SecretFilePosix.cpp checks POSIX modes,
// another system brings its own file.
#pragma once

#include <cstddef>
#include <string>

struct SecretFile {
    bool ok = false;
    std::string text;   // the whole file when ok
    std::string error;  // "<what> <path>: ..." with the fix, when !ok
};

// `what` names the file in the error ("MQTT credentials file"); a file
// larger than `maxBytes` is refused.
SecretFile ReadSecretFile(const std::string& path, const std::string& what, size_t maxBytes);
