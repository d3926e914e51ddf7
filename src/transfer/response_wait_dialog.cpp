#include "transfer/response_wait_dialog.h"

#include "core/flags.h"

#include <cstdio>

namespace velmora {

CResponseWaitDialog::CResponseWaitDialog(Operator& op, Timing timing) : op(op), timing(timing) {}

void CResponseWaitDialog::setUp(ControlLink& control, Link& acknowledgements, const int& handshake,
                                int& syncSeen) {
    comm = &control;
    acknowledgementLink = &acknowledgements;
    bootHandshake = &handshake;
    bootSyncSeen = &syncSeen;
}

bool CResponseWaitDialog::start() {
    ended = false;
    endResult = 0;
    ticks = 0;
    status = "Parsing... 00";
    return true;
}

// True when the tick ended the wait.
bool CResponseWaitDialog::handshakeStep() {
    comm->waitForInput(0); // take in what the line holds, without waiting
    if (comm->inBufferCount() != 0) {
        ByteBuffer answer = comm->takeInput();
        if (answer == ByteBuffer{0x00}) {
            *bootSyncSeen = 1;
            end(1);
        } else if (answer == ByteBuffer{0xAA}) {
            end(1);
        } else {
            op.showMessage("Boot Mode Response Error !", Icon::Stop);
            end(2);
        }
        return true;
    }
    if (!*bootSyncSeen) {
        // The chip measures the host's bit rate on a steady stream of 0x00.
        comm->putOutput(ByteBuffer{0x00});
    }
    return false;
}

bool CResponseWaitDialog::acknowledgementStep() {
    acknowledgementLink->waitForInput(0);
    if ((acknowledgementLink->bytesWaiting() & 0xFFFF) == 0) {
        return false;
    }
    std::uint8_t answer = 0;
    if (acknowledgementLink->receive(&answer, 1) != 1) {
        return false; // nothing came after all: an empty tick
    }
    if (answer == 0x06 || answer == 0x11) {
        end(1);
    } else {
        op.showMessage("Response Error(A) !", Icon::Stop);
        end(2);
    }
    return true;
}

bool CResponseWaitDialog::waitForAnswer(std::chrono::microseconds limit) {
    if (ended || comm == nullptr || acknowledgementLink == nullptr) {
        return Exchange::waitForAnswer(limit);
    }
    // The handshake's answers come over the control, acknowledgements over the write link.
    return *bootHandshake ? comm->waitForInput(limit.count())
                          : acknowledgementLink->waitForInput(limit.count());
}

bool CResponseWaitDialog::step() {
    if (ended) {
        return false;
    }
    bool answered = *bootHandshake ? handshakeStep() : acknowledgementStep();
    if (answered) {
        return false;
    }
    ++ticks;
    if (ticks >= tickLimit) {
        op.showMessage("Time out !", Icon::Warning);
        end(2);
        return false;
    }
    char text[24];
    std::snprintf(text, sizeof text, "Parsing... %02d", ticks);
    status = text;
    return true;
}

} // namespace velmora
