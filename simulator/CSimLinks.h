// The symbolic links (COMn aliases and others) that lead to the simulator's
// pty: made on request, pointed at a new pty after a replug, removed when
// the simulator stops. Not thread-safe: the caller serialises its calls.
#pragma once

#include <string>
#include <vector>

class CSimLinks {
public:
    // Makes (or replaces) a link at `path` to `target` and remembers it.
    // Refuses to replace anything that is not a symbolic link.
    bool Add(const std::string& path, const std::string& target, std::string* error);
    // Points every remembered link at `target` again.
    void Repoint(const std::string& target);
    // Removes the links that still lead to `target` (one that leads
    // elsewhere by now is someone else's). `forget` drops them from the
    // list too; otherwise a Repoint() makes them again.
    void Remove(const std::string& target, bool forget);

private:
    static bool Point(const std::string& path, const std::string& target, std::string* error);

    std::vector<std::string> m_paths;
};
