#include "core/clock.h"

#include <thread>

namespace velmora {

namespace {

class SteadyClock final : public Clock {
public:
    time_point now() const override { return std::chrono::steady_clock::now(); }
    void sleepUntil(time_point until) override { std::this_thread::sleep_until(until); }
};

} // namespace

Clock& steadyClock() {
    static SteadyClock clock;
    return clock;
}

} // namespace velmora
