#include "MqttCredentials.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// More than any user name and password; a bigger file is not ours.
constexpr size_t kMaxFileBytes = 4096;

MqttCredentials Failed(std::string error)
{
    MqttCredentials result;
    result.error = std::move(error);
    return result;
}

// The next line of `text` from `*pos`, without its CR/LF.
std::string NextLine(const std::string& text, size_t* pos)
{
    size_t end = text.find('\n', *pos);
    if (end == std::string::npos)
        end = text.size();
    std::string line = text.substr(*pos, end - *pos);
    *pos = end < text.size() ? end + 1 : end;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

}  // namespace

MqttCredentials ReadMqttCredentials(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Failed("MQTT credentials file " + path + ": " + std::strerror(errno));
    // Checked on the open descriptor, so the file judged is the file read.
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return Failed("MQTT credentials file " + path + ": not a regular file");
    }
    // The service's own group holds the service alone; any other may not look.
    const mode_t groupMay = st.st_gid == getegid() ? S_IRGRP : 0;
    if ((st.st_mode & (S_IRWXO | (S_IRWXG & ~groupMay))) != 0) {
        close(fd);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return Failed("MQTT credentials file " + path + " is open to group or others (mode " +
                      mode + "); make it readable by the service alone: chmod 600 " + path +
                      " (or 640 with the service's own group)");
    }
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() <= kMaxFileBytes)
        text.append(buf, static_cast<size_t>(n));
    const int readErrno = errno;
    close(fd);
    if (n < 0)
        return Failed("MQTT credentials file " + path + ": " + std::strerror(readErrno));
    if (text.size() > kMaxFileBytes)
        return Failed("MQTT credentials file " + path + ": larger than 4096 bytes");

    MqttCredentials result;
    size_t pos = 0;
    result.user = NextLine(text, &pos);
    result.password = NextLine(text, &pos);
    if (result.user.empty())
        return Failed("MQTT credentials file " + path +
                      ": the first line must hold the user name, the second the password");
    result.ok = true;
    return result;
}
