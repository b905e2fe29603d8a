#include "LineScan.h"

#include "ParamInput.h"

ScanEnd ScanLine(CMeterPort& port, const CStopToken& stop, uint16_t answerLimitMs,
                 const ScanCallbacks& callbacks)
{
    port.SetAnswerLimitMs(answerLimitMs);
    const ParamBounds addresses = ParamFieldBounds(kParamAddress);
    ScanEnd end;
    for (int a = addresses.low; a <= addresses.high && !stop.Requested(); ++a) {
        ScanHit hit;
        hit.address = static_cast<uint8_t>(a);
        if (callbacks.onAsking)
            callbacks.onAsking(hit.address);
        hit.outcome = port.ReadMeasurementsFrom(hit.address, &hit.reading);
        if (hit.outcome.Ok() || hit.outcome.result > 0) {
            ++end.found;
            if (callbacks.onMeter)
                callbacks.onMeter(hit);
        } else if (hit.outcome.result == kMeterTransport) {
            end.outcome = hit.outcome;
            end.address = hit.address;
            break;
        }
    }
    port.SetAnswerLimitMs(0);
    end.stopped = stop.Requested();
    return end;
}
