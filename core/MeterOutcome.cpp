#include "MeterOutcome.h"

#include "CModBusRtu.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include <grp.h>
#include <sys/stat.h>

namespace {

std::string GroupName(gid_t gid)
{
    std::vector<char> buffer(4096);
    group entry;
    group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->gr_name;
    return std::to_string(gid);
}

std::string RealPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

}  // namespace

std::string OutcomeText(const MeterOutcome& o)
{
    switch (o.stage) {
        case MeterOutcome::kOpen: return o.reason;
        case MeterOutcome::kReopen: return "the port did not reopen: " + o.reason;
        case MeterOutcome::kExchange: break;
    }
    if (o.result == kMeterTransport)
        return "transport failure: " + o.reason;
    if (o.result == kMeterLength && o.received == 0)
        return "no answer";
    char text[96];
    MeterResultText(o.result, text, sizeof text);
    if (o.result == kMeterLength)
        return std::string(text) + ": " + std::to_string(o.received) + " bytes received";
    return text;
}

bool AnswerGarbled(const MeterOutcome& o)
{
    return o.stage == MeterOutcome::kExchange &&
           (o.result == kMeterChecksum || (o.result == kMeterLength && o.received > 0));
}

std::string OpenHint(const std::string& device, const MeterOutcome& o)
{
    if (!o.PortFailed())
        return std::string();
    struct stat st;
    const bool exists = stat(device.c_str(), &st) == 0;
    const std::string real = RealPath(device);
    if (o.error == EACCES && exists) {
        const std::string group = GroupName(st.st_gid);
        return real + " belongs to group " + group + ": run `sudo usermod -aG " + group +
               " $USER` and log in again";
    }
    if (o.error == EBUSY)
        return "another program has " + real + " open";
    if ((exists && !S_ISCHR(st.st_mode)) || o.error == ENOTTY)
        return real + " is not a terminal";
    return std::string();
}

std::string DescribeFailure(const std::string& label, const std::string& device,
                            const MeterOutcome& o)
{
    const std::string hint = OpenHint(device, o);
    return label + ": " + OutcomeText(o) + (hint.empty() ? std::string() : "\n" + hint);
}
