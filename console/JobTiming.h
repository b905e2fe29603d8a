// Pauses of the meter jobs. The defaults are the product's; tests shorten
// them through CQuorvanMasterDlg::SetTiming.
#pragma once

struct JobTiming {
    int pollPauseMs = 500;        // after every measurement cycle
    int reconnectPauseMs = 1000;  // between closing and reopening after a failed poll
    int calibratePauseMs = 3000;  // the meter calibrates before it answers
};
