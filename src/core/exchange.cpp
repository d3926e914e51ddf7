#include "core/exchange.h"

#include <algorithm>

namespace velmora {

bool Exchange::waitForAnswer(std::chrono::microseconds limit) {
    clock().sleepFor(limit);
    return false;
}

int runToEnd(Exchange& exchange) {
    if (exchange.start()) {
        while (exchange.step()) {
            waitBeforeNextStep(exchange);
        }
    }
    return exchange.result();
}

void waitBeforeNextStep(Exchange& exchange) {
    Clock& clock = exchange.clock();
    const auto interval = exchange.stepInterval();
    if (interval.count() <= 0) {
        return;
    }
    // Waited in short slices, each a bounded wait on the line, so no core spins.
    constexpr auto slice = std::chrono::microseconds(1000);
    const auto deadline = clock.now() + interval;
    for (auto now = clock.now(); now < deadline; now = clock.now()) {
        const auto sliceEnd = std::min(deadline, now + slice);
        if (exchange.waitForAnswer(
                std::chrono::duration_cast<std::chrono::microseconds>(sliceEnd - now))) {
            return;
        }
        // A link that cannot wait (closed, gone) answers at once: sleep the rest.
        clock.sleepUntil(sliceEnd);
    }
}

} // namespace velmora
