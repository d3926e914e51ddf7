#include "core/exchange.h"

#include <algorithm>
#include <thread>

namespace velmora {

bool Exchange::waitForAnswer(std::chrono::microseconds limit) {
    std::this_thread::sleep_for(limit);
    return false;
}

void waitBeforeNextStep(Exchange& exchange) {
    using Clock = std::chrono::steady_clock;
    const auto interval = exchange.stepInterval();
    if (interval.count() <= 0) {
        return;
    }
    // Waited in short slices, each a bounded wait on the line, so no core spins.
    constexpr auto slice = std::chrono::microseconds(1000);
    const auto deadline = Clock::now() + interval;
    for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
        const auto sliceEnd = std::min(deadline, now + slice);
        if (exchange.waitForAnswer(
                std::chrono::duration_cast<std::chrono::microseconds>(sliceEnd - now))) {
            return;
        }
        // A link that cannot wait (closed, gone) answers at once: sleep the rest.
        std::this_thread::sleep_until(sliceEnd);
    }
}

} // namespace velmora
