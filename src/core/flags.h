#pragma once

#include <cstdint>
#include <vector>

namespace velmora {

// The process-wide flags that connect the subsystems; 0 at process start.
// dataReady: an image (tmp.bin) is ready to be written (set by a successful load).
// bootMode: the target answered the boot-mode handshake.
// bootDownloadDone: the boot program was downloaded; the next write sends
// PreFlash.bin instead of tmp.bin.
extern int dataReady;
extern int bootMode;
extern int bootDownloadDone;

// A signal asked the run to end. Set from a signal handler (it only stores
// a flag); every wait on a port looks at it at least every 100 ms and ends,
// so the run reaches its cleanup within a fraction of a second.
void requestStop() noexcept;
bool stopRequested() noexcept;
void clearStopRequest() noexcept;

// A message to or from the target.
using ByteBuffer = std::vector<std::uint8_t>;

} // namespace velmora
