#include "CSimLinks.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

bool CSimLinks::Point(const std::string& path, const std::string& target, std::string* error)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        if (error)
            *error = path + " exists and is not a symbolic link";
        return false;
    }
    // Made beside it and renamed over it: a client never finds no link.
    static std::atomic<unsigned> counter{0};
    const std::string temp =
        path + ".new-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0) {
        if (error)
            *error = "symlink " + path + ": " + std::strerror(errno);
        return false;
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        if (error)
            *error = "rename " + path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool CSimLinks::Add(const std::string& path, const std::string& target, std::string* error)
{
    if (!Point(path, target, error))
        return false;
    if (std::find(m_paths.begin(), m_paths.end(), path) == m_paths.end())
        m_paths.push_back(path);
    return true;
}

void CSimLinks::Repoint(const std::string& target)
{
    for (const auto& path : m_paths)
        Point(path, target, nullptr);
}

void CSimLinks::Remove(const std::string& target, bool forget)
{
    for (const auto& path : m_paths) {
        char buf[4096];
        const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
        if (n <= 0)
            continue;
        buf[n] = '\0';
        if (target == buf)
            unlink(path.c_str());
    }
    if (forget)
        m_paths.clear();
}
