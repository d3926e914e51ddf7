#pragma once

#include <chrono>

class QDBusConnection;

namespace velmora::desktop {

// Refuses the system's suspend while it lives: a logind "sleep" inhibitor lock
// in block mode, held as the file descriptor logind hands out and released by
// closing it. Where no system bus or no logind is reachable it holds nothing,
// quickly and without a word.
class SuspendInhibitor {
public:
    // Asks logind on the system bus.
    SuspendInhibitor();
    // Asks the login manager on the given bus, waiting at most replyLimit for it.
    explicit SuspendInhibitor(const QDBusConnection& bus,
                              std::chrono::milliseconds replyLimit = defaultReplyLimit);
    ~SuspendInhibitor();

    SuspendInhibitor(const SuspendInhibitor&) = delete;
    SuspendInhibitor& operator=(const SuspendInhibitor&) = delete;

    bool held() const { return lock_ >= 0; }

    static constexpr std::chrono::milliseconds defaultReplyLimit{1500};

private:
    int lock_ = -1;
};

} // namespace velmora::desktop
