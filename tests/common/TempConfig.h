// RAII temporary XDG_CONFIG_HOME for tests: COMn aliases made while it
// lives go to a fresh folder (removed at the end), never the real home.
// Create it before anything that makes or resolves an alias.
#pragma once

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

class TempConfig {
public:
    TempConfig()
    {
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
            m_hadOld = true;
            m_old = old;
        }
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/quorvan-test-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) != nullptr)
            m_dir = buf.data();
        setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
    }
    ~TempConfig()
    {
        if (m_hadOld)
            setenv("XDG_CONFIG_HOME", m_old.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        std::error_code ec;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ec);
    }
    TempConfig(const TempConfig&) = delete;
    TempConfig& operator=(const TempConfig&) = delete;

    // The temporary XDG_CONFIG_HOME (empty if it could not be made).
    const std::string& Dir() const { return m_dir; }
    // Where the COMn aliases go (PortAliasDir() while this lives).
    std::string AliasDir() const { return m_dir + "/quorvan-master/ports"; }

private:
    std::string m_dir;
    std::string m_old;
    bool m_hadOld = false;
};

// What the symbolic link at `path` points to; empty when it is none.
inline std::string LinkTarget(const std::string& path)
{
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0)
        return std::string();
    buf[n] = '\0';
    return buf;
}
