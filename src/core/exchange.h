#pragma once

#include "core/clock.h"

#include <chrono>
#include <string>

namespace velmora {

// One exchange with the target (boot-mode download, programming transfer,
// response wait) as a step machine. A driver (the GUI's timer, the CLI's loop,
// a test) calls start() once, then step() until it returns false; Stop is
// handled between passes through stop(). One pass is never interrupted.
class Exchange {
public:
    virtual ~Exchange() = default;

    // The dialog's caption, e.g. "Programming .....".
    virtual std::string caption() const = 0;

    // Start-up. Returns false when the exchange already ended there (a file
    // error, say); result() then holds the result.
    virtual bool start() = 0;

    // One pass. Returns true while the exchange goes on, false once it has ended.
    virtual bool step() = 0;

    // Stop (or Esc): ends the exchange with 2 after releasing buffers and files.
    virtual void stop() = 0;

    // 1 for success, 2 for every failure, time-out or Stop; 0 while running.
    virtual int result() const = 0;

    // Whether the last run was ended by stop(), not by the board or the line.
    bool endedByStop() const { return stopped; }

    // What the dialog shows: "37 %" or "Parsing... 05".
    virtual std::string statusText() const = 0;

    // Progress bar range and position; a maximum of 0 means no bar.
    virtual long long progressMaximum() const { return 0; }
    virtual long long progressValue() const { return 0; }

    // Time the driver keeps between two passes: the response wait's tick;
    // zero for the exchanges that run pass after pass.
    virtual std::chrono::microseconds stepInterval() const { return {}; }

    // Waits at most `limit` for an answer that the next pass would take, and
    // tells whether one is there. A driver waiting out the step interval may
    // run the next pass at once then: the answer is taken when it arrives, not
    // on the next tick, while an empty tick still lasts the whole interval.
    // Exchanges that take no answer between passes just sleep.
    virtual bool waitForAnswer(std::chrono::microseconds limit);

    // The clock the exchange's waits and time-outs are read on.
    virtual Clock& clock() const { return steadyClock(); }

protected:
    // Set by stop(), cleared by start().
    bool stopped = false;
};

// Waits out the step interval before the exchange's next pass, cut short when
// an answer arrives; returns at once for exchanges that run pass after pass.
void waitBeforeNextStep(Exchange& exchange);

// Runs the exchange to its end as a driver without a window does: start-up,
// then pass after pass, the step interval waited out between; its result.
int runToEnd(Exchange& exchange);

} // namespace velmora
