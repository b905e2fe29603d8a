// Debian's chromium, headless, as a test's browser: loads a page from a
// loopback server, gives back the DOM as rendered or a screenshot. Each
// run gets a fresh profile in `dir` and no network beyond the page asked
// for (no sync, updates, QUIC or first-run pages); --no-sandbox because
// the suite runs as root too, where chromium's sandbox refuses to start.
#pragma once

#include "CChildProcess.h"

#include <string>
#include <vector>

inline constexpr const char* kChromium = "/usr/bin/chromium";

inline ChildResult RunChromium(const std::string& dir, const std::vector<std::string>& extra,
                               const std::string& url, int timeoutMs = 60000)
{
    static int runs = 0;
    const std::string profile = dir + "/chromium-" + std::to_string(++runs);
    std::vector<std::string> args = {"--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--disable-dev-shm-usage",
                                     "--user-data-dir=" + profile};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(url);
    ChildOptions options;
    options.env = {"HOME=" + profile, "XDG_CONFIG_HOME=" + profile, "XDG_CACHE_HOME=" + profile};
    return CChildProcess::Run(kChromium, args, options, timeoutMs);
}
