#pragma once

#include "core/clock.h"

#include <chrono>

namespace velmora {

// Lengths that turn the programming runs' counts into time, and the clock they
// are measured on. The defaults are what a real line needs; tests shorten them
// or run them on a virtual clock, so they do not depend on the machine's speed.
struct Timing {
    // How long one poll of an exchange waits for input before it counts as empty.
    std::chrono::microseconds pollWait{1000};
    // The response wait's tick.
    std::chrono::microseconds tick{100000};
    // One pass of a pause (3001 passes about 0.6 s).
    std::chrono::microseconds pass{200};
    // Where every wait, poll, pause and time-out of the run is read. Never null.
    Clock* clock = &steadyClock();
};

} // namespace velmora
