#include "serial/wire_tap.h"

#include <mutex>

namespace velmora {

namespace {
std::mutex observerMutex;
WireObserver& currentObserver() {
    static WireObserver observer;
    return observer;
}
} // namespace

void setWireObserver(WireObserver observer) {
    std::lock_guard lock(observerMutex);
    currentObserver() = std::move(observer);
}

namespace detail {
void tapWire(const std::string& device, WireDirection direction, int baud,
             const std::uint8_t* bytes, int count) {
    if (count <= 0) {
        return;
    }
    std::lock_guard lock(observerMutex);
    if (currentObserver()) {
        currentObserver()(device, direction, baud, bytes, count);
    }
}
} // namespace detail

} // namespace velmora
