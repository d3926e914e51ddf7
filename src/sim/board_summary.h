#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

// One message the board took from the line (or a run of bytes it ignored).
struct MessageRecord {
    // "trigger word", "command block", "size message", "block", "closing message",
    // "bit-rate adjustment", "boot select", "boot length", "boot program",
    // "ignored" (bytes no step listens to), "incomplete" (a message cut short).
    std::string kind;
    std::size_t bytes = 0;
    // The line rates the bytes were sent at, as the host's line settings showed
    // them; several when the host changed its settings while the bytes travelled.
    std::vector<int> bauds;
    // False when the host's line was not 8 data bits, no parity, 1 stop bit.
    bool frameOk = true;
    // True when the host changed its settings while these bytes were on their
    // way, faster than the board could look: the rate could not be checked.
    bool rateUncertain = false;
    // What the board made of it: "accepted", "refused: <why>", "ignored: <why>".
    std::string result;
    // The byte the board answered with, -1 when it stayed silent.
    int reply = -1;
};

// One write of the flash, from the accepted size message to its end.
struct WriteRecord {
    // "user firmware", "boot program" (the image that follows the boot download)
    // or "new firmware" (the final image in boot mode).
    std::string stage;
    std::uint32_t size = 0;
    int blocksExpected = 0;
    int blocksReceived = 0;
    int baud = 0;
    // The one's complement of the sum of the block bytes received, and what the
    // closing message carried (-1 when none came).
    int checksumExpected = -1;
    int checksumReceived = -1;
    // "completed", "in progress", "checksum wrong", "refused block <k>: <why>",
    // "incomplete message", "ended early by fault", "refused by fault", "link dropped",
    // "abandoned: a new command block came".
    std::string outcome = "in progress";
};

// What the board saw during its life; `toJson` gives the form velmora-sim writes.
struct BoardSummary {
    std::string mode;
    std::vector<MessageRecord> messages;
    std::vector<WriteRecord> writes;
    // Each fault the board injected, once per occurrence ("NAK on block 3 of write 1").
    std::vector<std::string> faultsInjected;
    int completedWrites = 0;
    int failedWrites = 0;
    std::size_t bytesReceived = 0;
    std::size_t bytesSent = 0;
    std::size_t ignoredBytes = 0;
    // Boot downloads that ended with the end marker.
    int bootDownloads = 0;
    bool linkDropped = false;

    std::string toJson() const;
};

} // namespace velmora
