#pragma once

#include "core/exchange.h"
#include "core/link.h"
#include "core/operator.h"
#include "core/timing.h"
#include "transfer/control_link.h"

#include <cstdint>
#include <string>

namespace velmora {

// "Waiting for System Response ...": waits, one step per tick, for the
// target's one-byte answer to a message just sent. In the boot-mode handshake
// (bootHandshake set) it expects 0x00 or 0xAA from the communications control
// and repeats 0x00 on every empty tick until the chip has answered 0x00; in the
// command acknowledgement it expects 0x06 or 0x11 from the write link.
class CResponseWaitDialog : public Exchange {
public:
    static constexpr int tickLimit = 150;

    CResponseWaitDialog(Operator& op, Timing timing);

    // Before each run: the control (handshake), the link the acknowledgement
    // comes over, and the owner's flags the wait reads (bootHandshake) and
    // writes (bootSyncSeen).
    void setUp(ControlLink& comm, Link& acknowledgementLink, const int& bootHandshake,
               int& bootSyncSeen);

    std::string caption() const override { return "Waiting for System Response ..."; }
    bool start() override;
    bool step() override;
    void stop() override { end(2); }
    int result() const override { return endResult; }
    std::string statusText() const override { return status; }
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

    Operator& op;
    Timing timing;
    ControlLink* comm = nullptr;
    Link* acknowledgementLink = nullptr;
    const int* bootHandshake = nullptr;
    int* bootSyncSeen = nullptr;

    std::string status;
    int ticks = 0;
    bool ended = false;
    int endResult = 0;
};

} // namespace velmora
