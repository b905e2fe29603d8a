#include "SecretFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

SecretFile Failed(std::string error)
{
    SecretFile result;
    result.error = std::move(error);
    return result;
}

}  // namespace

SecretFile ReadSecretFile(const std::string& path, const std::string& what, size_t maxBytes)
{
    const std::string named = what + " " + path;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Failed(named + ": " + std::strerror(errno));
    // Checked on the open descriptor, so the file judged is the file read.
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return Failed(named + ": not a regular file");
    }
    // The service's own group holds the service alone; any other may not look.
    const mode_t groupMay = st.st_gid == getegid() ? S_IRGRP : 0;
    if ((st.st_mode & (S_IRWXO | (S_IRWXG & ~groupMay))) != 0) {
        close(fd);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return Failed(named + " is open to group or others (mode " + mode +
                      "); make it readable by the service alone: chmod 600 " + path +
                      " (or 640 with the service's own group)");
    }
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() <= maxBytes)
        text.append(buf, static_cast<size_t>(n));
    const int readErrno = errno;
    close(fd);
    if (n < 0)
        return Failed(named + ": " + std::strerror(readErrno));
    if (text.size() > maxBytes)
        return Failed(named + ": larger than " + std::to_string(maxBytes) + " bytes");
    SecretFile result;
    result.ok = true;
    result.text = std::move(text);
    return result;
}
