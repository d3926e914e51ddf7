#include "transfer/boot_download.h"

#include "core/file_io.h"

#include <algorithm>
#include <cstdio>

namespace velmora {

BootDownload::BootDownload(Operator& theOperator, Places filePlaces, Timing runTiming)
    : op(theOperator), places(std::move(filePlaces)), timing(runTiming) {}

void BootDownload::setUp(Transport& control) {
    comm = &control;
    stopped = false;
    image.clear();
    image.shrink_to_fit();
    next = 0;
}

bool BootDownload::start() {
    stopped = false;
    ended = false;
    endResult = 0;
    percentText.clear();
    progressPosition = 0;
    std::string problem;
    // An empty file, or one longer than the chip's 16-bit length, is no boot program.
    auto file =
        readFileToSend(places.bootProgramFile(), problem, static_cast<std::size_t>(longestProgram));
    if (!file) {
        imageLength = -1;
        op.notify(problem, Notice::Failure);
        op.showMessage("3062f.bin File Read Error !", Icon::Warning);
        releaseAndEnd(false);
        return false;
    }
    image = std::move(*file);
    next = 0;
    imageLength = static_cast<int>(image.size());
    // The chip is told the real length, upper byte first.
    announcedLength[0] = static_cast<std::uint8_t>(imageLength >> 8);
    announcedLength[1] = static_cast<std::uint8_t>(imageLength & 0xFF);
    state = State::Send;
    sent = 0;
    retries = 0;
    part = Part::LengthHigh;
    emptyPolls = 0;
    lastSent.clear();
    progressPosition = 0;
    percentText = "0 %";
    return true;
}

void BootDownload::releaseAndEnd(bool ok) {
    image.clear();
    image.shrink_to_fit();
    ended = true;
    endResult = ok ? 1 : 2;
}

void BootDownload::failOn(const Status& status) {
    op.notify(status.reason, Notice::Failure);
    releaseAndEnd(false);
}

bool BootDownload::step() {
    if (ended) {
        return false;
    }
    if (bootDownloadDone) {
        // Nothing is left to send or wait for: a download already finished.
        releaseAndEnd(false);
        return false;
    }
    if (state == State::Send) {
        emptyPolls = 0;
        std::uint8_t byte = 0;
        if (part != Part::Program) {
            byte = announcedLength[part == Part::LengthHigh ? 0 : 1];
        } else {
            ++sent;
            if (sent > imageLength) {
                // Everything was sent: wait for the end marker.
                state = State::AwaitReply;
                return true;
            }
            char text[16];
            std::snprintf(text, sizeof text, "%d %%",
                          static_cast<int>(static_cast<long long>(sent) * 100 / imageLength));
            percentText = text;
            progressPosition = sent;
            byte = image[next];
        }
        lastSent = ByteBuffer{byte};
        if (Status status =
                sendWithinLineTime(*comm, lastSent.data(), lastSent.size(), *timing.clock);
            !status.ok()) {
            failOn(status);
            return false;
        }
        state = State::AwaitReply;
        return true;
    }
    awaitReply();
    return !ended;
}

void BootDownload::awaitReply() {
    if (emptyPolls > pollLimit) {
        op.showMessage("Time out !", Icon::Warning);
        releaseAndEnd(false);
        return;
    }
    if (comm->available() == 0) {
        Status waited = comm->waitForInput(timing.clock->now() + timing.pollWait);
        if (waited.outcome == Outcome::TimedOut) {
            ++emptyPolls;
            return;
        }
        if (!waited.ok()) {
            failOn(waited);
            return;
        }
    }
    emptyPolls = 0;
    // Every byte received, taken in one read.
    ByteBuffer reply(std::max<std::size_t>(comm->available(), 1));
    std::size_t taken = 0;
    if (Status status = comm->take(reply.data(), reply.size(), taken); !status.ok()) {
        failOn(status);
        return;
    }
    reply.resize(taken);
    if (reply.empty()) { // the count said bytes waited, yet none came: an empty poll
        ++emptyPolls;
        return;
    }
    if (reply == ByteBuffer{endMarker} && sent > imageLength) {
        bootDownloadDone = 1;
        releaseAndEnd(true);
        // The echo test below still judges this reply.
    }
    if (reply == lastSent) {
        if (part == Part::Program) {
            ++next;
        } else {
            part = part == Part::LengthHigh ? Part::LengthLow : Part::Program;
        }
        retries = 0;
        state = State::Send;
        return;
    }
    ++retries;
    state = State::Send;
    if (retries >= retryLimit) {
        op.showMessage("Receive Error(A)!", Icon::Warning);
        releaseAndEnd(false);
    }
}

} // namespace velmora
