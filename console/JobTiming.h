// Pauses of the meter jobs. The defaults are the product's, taken from the
// poll loop and the meter link; tests shorten them through
// CQuorvanMasterDlg::SetTiming.
#pragma once

#include "CModBusRtu.h"
#include "LineScan.h"
#include "PollLoop.h"

struct JobTiming {
    int pollPauseMs = PollTiming{}.pollPauseMs;                   // after every measurement cycle
    int reconnectPauseMs = PollTiming{}.reconnectPauseMs;         // closed, before the reopen
    int calibratePauseMs = CModBusRtu::kCalibratePauseDefaultMs;  // before the answer
    int scanAnswerLimitMs = kScanAnswerLimitMs;                   // per address, Find Meters
};
