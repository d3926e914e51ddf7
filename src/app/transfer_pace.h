#pragma once

#include <QString>
#include <chrono>
#include <deque>

namespace velmora::app {

// Bytes done of the total, the rate and the time left of a transfer, as its
// dialog shows them under the bar. The rate is taken over the last few
// seconds, so a slow start or a pause does not hold it down for the whole run.
class TransferPace {
public:
    using Clock = std::chrono::steady_clock;
    // How far back the rate looks, and how much it needs before it is shown.
    static constexpr std::chrono::milliseconds window{4000};
    // A transfer's position leads the line by up to a block (the bar moves as
    // a block goes out): over a second that lead is small beside the rate.
    static constexpr std::chrono::milliseconds least{1000};

    // The position at a moment of the run.
    void sample(Clock::time_point at, long long done);
    // Bytes a second over the window; negative while too little is known.
    double rate() const;
    // "812 of 1558 bytes · 960 bytes/s · 0:01 left"
    QString text(long long done, long long total) const;

    static QString amount(long long done, long long total);
    static QString speed(double bytesPerSecond);
    static QString timeLeft(double seconds);

private:
    std::deque<std::pair<Clock::time_point, long long>> samples;
};

} // namespace velmora::app
