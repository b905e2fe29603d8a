// Small facts about the test's own machine: a free loopback port for a
// server a test starts, the entries of a /proc folder, the sanitizer build.
#pragma once

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

// Built with AddressSanitizer, whose quarantine holds freed memory: resident
// memory then says nothing about leaks.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderAsan = true;
#else
inline constexpr bool kUnderAsan = false;
#endif

// A loopback TCP port nobody listens on now (0 if none could be had); for a
// program that must be told its port.
inline int FreeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// Entries of a folder (descriptors in /proc/PID/fd, threads in
// /proc/PID/task), or -1 when it cannot be read.
inline int CountEntries(const std::string& path)
{
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return -1;
    int n = 0;
    while (const dirent* e = readdir(dir))
        if (e->d_name[0] != '.')
            ++n;
    closedir(dir);
    return n;
}
