// The measurement loop of the panel, for the command line.
//
// One reading, then a 500 ms pause, until a stop is asked for. After a
// failed poll the port is closed, left alone for 1000 ms and reopened (a
// port that stays shut simply fails the next poll), then the usual pause
// follows; the third failed poll in a row ends the loop at once.
#pragma once

#include "CCliPort.h"
#include "CStopSignal.h"

#include <functional>

struct WatchTiming {
    int pauseMs = 500;
    int reconnectMs = 1000;
    int maxFailures = 3;
};

class CWatch {
public:
    using ReadingFn = std::function<void(const MeterReading&)>;
    using FailureFn = std::function<void(int result)>;

    // The port must be open; it is left open or closed as the loop ends.
    CWatch(CCliPort& port, const CStopSignal& stop, WatchTiming timing = {});

    // 0 when stopped; the last failing result after maxFailures in a row, with
    // the meter link still holding that failure's details.
    int Run(const ReadingFn& onReading, const FailureFn& onFailure);

private:
    CCliPort& m_port;
    const CStopSignal& m_stop;
    WatchTiming m_timing;
};
