#pragma once

#include "core/exchange.h"
#include "core/operator.h"
#include "core/timing.h"
#include "serial/transport.h"

#include <cstdint>
#include <string>

namespace velmora {

// The response wait: the board's acknowledgement, or the chip's handshake answer.
//
// "Waiting for System Response ...": waits, one step per tick, for the
// target's one-byte answer to a message just sent. In the boot-mode handshake
// (bootHandshake set) it expects 0x00 or 0xAA from the communications control
// and repeats 0x00 on every empty tick until the chip has answered 0x00; in the
// command acknowledgement it expects 0x06 or 0x11 from the write link. A
// transport call that fails ends the wait at once, after the operator is told
// the system's reason.
class ResponseWait : public Exchange {
public:
    static constexpr int tickLimit = 150;

    ResponseWait(Operator& theOperator, Timing runTiming);

    // Before each run: the control's transport (handshake), the transport the
    // acknowledgement comes over, and the owner's flags the wait reads
    // (bootHandshake) and writes (bootSyncSeen).
    void setUp(Transport& comm, Transport& acknowledgementLink, const int& bootHandshake,
               int& bootSyncSeen);

    Clock& clock() const override { return *timing.clock; }
    std::string caption() const override { return "Waiting for System Response ..."; }
    bool start() override;
    bool step() override;
    void stop() override {
        stopped = true;
        end(2);
    }
    int result() const override { return endResult; }
    std::string statusText() const override { return tickText; }
    std::chrono::microseconds stepInterval() const override { return timing.tick; }
    bool waitForAnswer(std::chrono::microseconds limit) override;

    int tickCount() const { return ticks; }

private:
    void end(int result) {
        ended = true;
        endResult = result;
    }
    bool handshakeStep();
    bool acknowledgementStep();
    // One byte from the transport: 1 taken, 0 none waiting, -1 the call failed.
    int takeOne(Transport& transport, std::uint8_t& byte, std::size_t& more);
    void failOn(const Status& status);

    Operator& op;
    Timing timing;
    Transport* comm = nullptr;
    Transport* acknowledgementLink = nullptr;
    const int* bootHandshake = nullptr;
    int* bootSyncSeen = nullptr;

    // What the dialog shows: "Parsing... 05".
    std::string tickText;
    // A failure found while waiting between ticks, named by the next tick.
    Status lineFailure;
    int ticks = 0;
    bool ended = false;
    int endResult = 0;
};

} // namespace velmora
