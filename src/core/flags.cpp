#include "flags.h"

#include <atomic>

namespace velmora {

int dataReady = 0;
int bootMode = 0;
int bootDownloadDone = 0;

namespace {
// Set from a signal handler or from another thread: a lock-free atomic is
// safe for both, where a volatile flag is only safe for the first.
std::atomic<int> stopAsked{0};
static_assert(std::atomic<int>::is_always_lock_free);
} // namespace

void requestStop() noexcept {
    stopAsked.store(1, std::memory_order_relaxed);
}

bool stopRequested() noexcept {
    return stopAsked.load(std::memory_order_relaxed) != 0;
}

void clearStopRequest() noexcept {
    stopAsked.store(0, std::memory_order_relaxed);
}

} // namespace velmora
