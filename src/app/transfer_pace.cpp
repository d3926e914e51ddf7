#include "app/transfer_pace.h"

#include <cmath>

namespace velmora::app {

void TransferPace::sample(Clock::time_point at, long long done) {
    if (!samples.empty() && done < samples.back().second) {
        // A new transfer in the same dialog: what was measured no longer applies.
        samples.clear();
    }
    samples.emplace_back(at, done);
    // Keep one sample older than the window, so the span always covers it.
    while (samples.size() > 2 && at - samples[1].first >= window) {
        samples.pop_front();
    }
}

double TransferPace::rate() const {
    if (samples.size() < 2) {
        return -1;
    }
    const auto span = samples.back().first - samples.front().first;
    if (span < least) {
        return -1;
    }
    const double seconds = std::chrono::duration<double>(span).count();
    return static_cast<double>(samples.back().second - samples.front().second) / seconds;
}

QString TransferPace::text(long long done, long long total) const {
    QString shown = amount(done, total);
    const double bytesPerSecond = rate();
    if (bytesPerSecond > 0) {
        shown += QStringLiteral(" · ") + speed(bytesPerSecond);
        if (done < total) {
            shown += QStringLiteral(" · ") +
                     timeLeft(static_cast<double>(total - done) / bytesPerSecond);
        }
    }
    return shown;
}

QString TransferPace::amount(long long done, long long total) {
    if (total < 10 * 1024) {
        return QStringLiteral("%1 of %2 bytes").arg(done).arg(total);
    }
    return QStringLiteral("%1 of %2 KiB")
        .arg(static_cast<double>(done) / 1024, 0, 'f', 1)
        .arg(static_cast<double>(total) / 1024, 0, 'f', 1);
}

QString TransferPace::speed(double bytesPerSecond) {
    if (bytesPerSecond < 10 * 1024) {
        return QStringLiteral("%1 bytes/s").arg(std::lround(bytesPerSecond));
    }
    return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024, 0, 'f', 1);
}

QString TransferPace::timeLeft(double seconds) {
    const long long whole = std::llround(std::ceil(seconds));
    const long long hours = whole / 3600;
    const long long minutes = whole / 60 % 60;
    const QString rest = QStringLiteral("%1").arg(whole % 60, 2, 10, QLatin1Char('0'));
    if (hours > 0) {
        return QStringLiteral("%1:%2:%3 left")
            .arg(hours)
            .arg(minutes, 2, 10, QLatin1Char('0'))
            .arg(rest);
    }
    return QStringLiteral("%1:%2 left").arg(minutes).arg(rest);
}

} // namespace velmora::app
