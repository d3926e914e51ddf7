#pragma once

#include "core/exchange.h"
#include "core/flags.h"
#include "core/operator.h"
#include "core/places.h"
#include "core/timing.h"
#include "serial/transport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

// The boot-mode download: the boot program sent to the chip byte by byte.
//
// "Boot mode Download .....": sends the boot program (3062f.bin) to a chip in
// its boot mode over the communications control, one byte at a time, each
// echoed: the program's length (upper byte first), the program, then the chip's
// end marker 0xAA. Sets bootDownloadDone when the end marker came. A transport
// call that fails ends the download at once, after the operator is told the
// system's reason.
class BootDownload : public Exchange {
public:
    // Where the step machine is: a message (or byte) to send next, or a reply to wait for.
    enum class State { Send, AwaitReply };
    // What the byte being sent belongs to: the length, upper byte first, then the program.
    enum class Part { LengthHigh, LengthLow, Program };

    static constexpr std::uint8_t endMarker = 0xAA;
    static constexpr unsigned pollLimit = 65530;
    static constexpr int retryLimit = 3;
    // The chip takes a 16-bit length.
    static constexpr int longestProgram = 0xFFFF;

    BootDownload(Operator& theOperator, Places filePlaces, Timing runTiming);

    // Before each run: the control's transport the exchange talks through.
    void setUp(Transport& comm);

    Clock& clock() const override { return *timing.clock; }
    std::string caption() const override { return "Boot mode Download ....."; }
    bool start() override;
    bool step() override;
    void stop() override {
        stopped = true;
        releaseAndEnd(false);
    }
    int result() const override { return endResult; }
    std::string statusText() const override { return percentText; }
    long long progressMaximum() const override { return imageLength > 0 ? imageLength : 0; }
    long long progressValue() const override { return progressPosition; }

    // What the exchange holds, for tests and the GUI.
    int sentCount() const { return sent; }
    int retryCount() const { return retries; }
    bool holdsImage() const { return !image.empty(); }
    // Whether the last run could read the boot program it was to send.
    bool programFileRead() const { return imageLength >= 0; }

private:
    void releaseAndEnd(bool ok);
    void awaitReply();
    void failOn(const Status& status);

    Operator& op;
    Places places;
    Timing timing;
    Transport* comm = nullptr;

    std::string percentText;
    int retries = 0;
    State state = State::Send;
    std::size_t next = 0; // index into image of the next program byte
    int sent = 0;
    int imageLength = -1;
    std::vector<std::uint8_t> image;
    Part part = Part::LengthHigh;
    std::uint8_t announcedLength[2] = {0, 0};
    ByteBuffer lastSent;
    unsigned emptyPolls = 0;
    long long progressPosition = 0;
    bool ended = false;
    int endResult = 0;
};

} // namespace velmora
