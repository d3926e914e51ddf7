#pragma once

#include <chrono>

namespace velmora {

// The clock every wait, poll, pause and time-out of a run is read on. The
// machine's steady clock drives real lines; a model line runs on a virtual
// clock that moves only when someone waits, so a long time-out takes no time
// and every run of it is the same run.
class Clock {
public:
    using time_point = std::chrono::steady_clock::time_point;
    using duration = std::chrono::steady_clock::duration;

    virtual ~Clock() = default;
    virtual time_point now() const = 0;
    // Returns once `until` has come; at once when it has already.
    virtual void sleepUntil(time_point until) = 0;
    void sleepFor(duration length) { sleepUntil(now() + length); }
};

// The machine's steady clock; every real port reads its deadlines on it.
Clock& steadyClock();

// A clock that stands still until it is moved: waiting on it moves it to the
// end of the wait at once. One thread uses it.
class VirtualClock final : public Clock {
public:
    // Starts at a fixed point, so that two runs see the same times.
    VirtualClock() : now_(time_point(std::chrono::hours(1))) {}

    time_point now() const override { return now_; }
    void sleepUntil(time_point until) override {
        if (until > now_) {
            now_ = until;
        }
    }

private:
    time_point now_;
};

} // namespace velmora
