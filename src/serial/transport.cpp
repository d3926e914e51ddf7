#include "serial/transport.h"

#include "serial/local_transport.h"
#include "serial/network_transport.h"

#include <algorithm>

namespace velmora {

std::chrono::microseconds lineTime(std::size_t count, const LineSettings& settings) {
    // Start bit, data bits, parity bit and stop bits, in tenths of a bit;
    // rounded up, so a wait for the line never ends before its last bit.
    const long long tenthsPerByte = 10LL * (1 + settings.dataBits) +
                                    (settings.parity == 'n' ? 0 : 10) + settings.stopBitsTenths;
    const long long tenthBitsPerSecond = 10LL * std::max(settings.baud, 1);
    const long long total = static_cast<long long>(count) * tenthsPerByte * 1'000'000;
    return std::chrono::microseconds((total + tenthBitsPerSecond - 1) / tenthBitsPerSecond);
}

std::unique_ptr<Transport> makeTransport(const std::string& name) {
    if (name.rfind("rfc2217://", 0) == 0) {
        return makeNetworkTransport(name);
    }
    return makeLocalSerialTransport(name);
}

Status sendWithinLineTime(Transport& transport, const std::uint8_t* bytes, std::size_t count,
                          const Clock& clock) {
    const Deadline deadline = clock.now() + lineTime(count, transport.settings()) + writeAllowance;
    return transport.send(bytes, count, deadline);
}

} // namespace velmora
