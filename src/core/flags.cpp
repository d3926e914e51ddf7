#include "flags.h"

#include <csignal>

namespace velmora {

int dataReady = 0;
int bootMode = 0;
int bootDownloadDone = 0;

namespace {
volatile std::sig_atomic_t stopAsked = 0;
}

void requestStop() noexcept {
    stopAsked = 1;
}

bool stopRequested() noexcept {
    return stopAsked != 0;
}

void clearStopRequest() noexcept {
    stopAsked = 0;
}

} // namespace velmora
