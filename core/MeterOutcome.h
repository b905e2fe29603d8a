// What one step of a meter job came to, and the one place that puts it into
// words for a person. Every front end (panel, client, service) reports
// failures through OutcomeText and DescribeFailure, so they cannot drift
// apart.
#pragma once

#include <string>

struct MeterOutcome {
    enum Stage {
        kExchange,  // a command went out (or should have): `result` tells
        kOpen,      // the port could not be opened for the job
        kReopen,    // the port did not reopen after a failed poll
    };

    Stage stage = kExchange;
    int result = 0;         // meter result code (CModBusRtu.h); kMeterTransport for a port failure
    int error = 0;          // the system's code behind a port or transport failure (errno,
                            // GetLastError() on Windows); 0 when none
    std::string reason;     // the serial layer's last-error text of that failure
    unsigned received = 0;  // answer bytes that arrived
    // The answer was one whole frame from the meter asked, checksum good,
    // though not the one wanted (an exception, another register count): the
    // meter has said all it will say to this request.
    bool wholeFrame = false;

    bool Ok() const { return stage == kExchange && result == 0; }
    bool PortFailed() const { return stage != kExchange; }
};

// The cause in a few words: "no answer", "wrong answer length: 5 bytes
// received)", "checksum mismatch", "exception code 2 (illegal data
// address)", "transport failure: <serial text>", "<serial text>" for a
// failed open, "the port did not reopen: <serial text>". "success" for Ok().
std::string OutcomeText(const MeterOutcome& outcome);

// An answer came, but not one meter's clean answer: a checksum that fails,
// or a frame of the wrong length (another kind of answer, or several
// meters' answers laid over each other). Silence and an exception are not.
bool AnswerGarbled(const MeterOutcome& outcome);

// What the user can do about a port failure, one line, or "": the group to
// join for a permission error, another program holding a busy port, a
// device that is no terminal. `device` is the path that was opened.
std::string OpenHint(const std::string& device, const MeterOutcome& outcome);

// "<label>: <OutcomeText>", with OpenHint on a line of its own when there
// is one. `label` names the port, e.g. "COM3 (/dev/ttyUSB2)".
std::string DescribeFailure(const std::string& label, const std::string& device,
                            const MeterOutcome& outcome);
