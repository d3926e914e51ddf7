#include "transfer/response_wait.h"

#include "core/flags.h"

#include <cstdio>

namespace velmora {

ResponseWait::ResponseWait(Operator& theOperator, Timing runTiming)
    : op(theOperator), timing(runTiming) {}

void ResponseWait::setUp(Transport& control, Transport& acknowledgements, const int& handshake,
                         int& syncSeen) {
    comm = &control;
    acknowledgementLink = &acknowledgements;
    stopped = false;
    bootHandshake = &handshake;
    bootSyncSeen = &syncSeen;
}

bool ResponseWait::start() {
    stopped = false;
    ended = false;
    lineFailure = Status::done();
    endResult = 0;
    ticks = 0;
    tickText = "Parsing... 00";
    return true;
}

void ResponseWait::failOn(const Status& status) {
    op.notify(status.reason, Notice::Failure);
    end(2);
}

int ResponseWait::takeOne(Transport& transport, std::uint8_t& byte, std::size_t& more) {
    more = 0;
    // Takes in what the line holds, without waiting.
    Status status = transport.waitForInput(timing.clock->now());
    if (status.outcome == Outcome::TimedOut) {
        return 0;
    }
    std::size_t taken = 0;
    if (status.ok()) {
        status = transport.take(&byte, 1, taken);
    }
    if (!status.ok()) {
        failOn(status);
        return -1;
    }
    more = transport.available();
    return taken == 1 ? 1 : 0;
}

// True when the tick ended the wait.
bool ResponseWait::handshakeStep() {
    std::uint8_t first = 0;
    std::size_t more = 0;
    const int got = takeOne(*comm, first, more);
    if (got < 0) {
        return true;
    }
    if (got > 0) {
        // The control hands over every byte received in one read.
        ByteBuffer answer{first};
        if (more > 0) {
            answer.resize(1 + more);
            std::size_t taken = 0;
            if (Status status = comm->take(answer.data() + 1, more, taken); !status.ok()) {
                failOn(status);
                return true;
            }
            answer.resize(1 + taken);
        }
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
        const std::uint8_t zero = 0x00;
        if (Status status = sendWithinLineTime(*comm, &zero, 1, *timing.clock); !status.ok()) {
            failOn(status);
            return true;
        }
    }
    return false;
}

bool ResponseWait::acknowledgementStep() {
    std::uint8_t answer = 0;
    std::size_t more = 0;
    const int got = takeOne(*acknowledgementLink, answer, more);
    if (got <= 0) {
        return got < 0; // nothing came: an empty tick
    }
    if (answer == 0x06 || answer == 0x11) {
        end(1);
    } else {
        op.showMessage("Response Error(A) !", Icon::Stop);
        end(2);
    }
    return true;
}

bool ResponseWait::waitForAnswer(std::chrono::microseconds limit) {
    if (ended || comm == nullptr || acknowledgementLink == nullptr) {
        return Exchange::waitForAnswer(limit);
    }
    // The handshake's answers come over the control, acknowledgements over the write link.
    // A failure is kept for the next pass to name.
    Transport& transport = *bootHandshake ? *comm : *acknowledgementLink;
    Status status = transport.waitForInput(timing.clock->now() + limit);
    if (status.outcome == Outcome::TimedOut) {
        return false;
    }
    if (!status.ok()) {
        lineFailure = std::move(status);
    }
    return true;
}

bool ResponseWait::step() {
    if (ended) {
        return false;
    }
    if (!lineFailure.ok()) {
        failOn(lineFailure);
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
    tickText = text;
    return true;
}

} // namespace velmora
