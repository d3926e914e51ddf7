#pragma once

#include "core/flags.h"

namespace velmora {

// The communications control's side of the line, as the boot-mode exchanges
// use it: a message is put to Output as a byte array, InBufferCount tells
// whether an answer came, Input hands over every byte received in one read.
class ControlLink {
public:
    virtual ~ControlLink() = default;

    // Queues the bytes for sending (Output).
    virtual void putOutput(const ByteBuffer& bytes) = 0;
    // Bytes received and not yet taken (InBufferCount).
    virtual short inBufferCount() = 0;
    // Every byte received, taken in one read (Input).
    virtual ByteBuffer takeInput() = 0;
    // Waits at most the given number of microseconds for input; true when bytes wait.
    virtual bool waitForInput(long long microseconds) = 0;
};

} // namespace velmora
