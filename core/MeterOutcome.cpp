#include "MeterOutcome.h"

#include "CModBusRtu.h"
#include "PortMap.h"

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
    return o.PortFailed() ? PortOpenHint(device, o.error) : std::string();
}

std::string DescribeFailure(const std::string& label, const std::string& device,
                            const MeterOutcome& o)
{
    const std::string hint = OpenHint(device, o);
    return label + ": " + OutcomeText(o) + (hint.empty() ? std::string() : "\n" + hint);
}
