#include "transfer/programming_transfer.h"

#include "core/file_io.h"
#include "core/flags.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace velmora {

using namespace std::chrono_literals;

ProgrammingTransfer::ProgrammingTransfer(Operator& theOperator, Places filePlaces, Timing runTiming)
    : op(theOperator), places(std::move(filePlaces)), timing(runTiming) {}

ProgrammingTransfer::~ProgrammingTransfer() {
    if (recordFile >= 0) {
        ::close(recordFile);
    }
}

void ProgrammingTransfer::setUp(Transport& transport,
                                std::optional<std::vector<std::uint8_t>> imageRead) {
    link = &transport;
    handedImage = std::move(imageRead);
    stopped = false;
    image.clear();
    image.shrink_to_fit();
    if (recordFile >= 0) {
        ::close(recordFile);
        recordFile = -1;
    }
    next = 0;
}

bool ProgrammingTransfer::start() {
    stopped = false;
    startProblem = StartFailure::None;
    sentCount = 0;
    ended = false;
    endResult = 0;
    percentText.clear();
    progressPosition = 0;
    closingSent = 0;
    succeededWithoutChecksum = false;
    const bool preFlash = bootDownloadDone != 0;
    std::string problem;
    auto file = handedImage ? std::exchange(handedImage, std::nullopt)
                            : readFileToSend(preFlash ? places.preFlashFile() : places.imageFile(),
                                             problem);
    if (!file) {
        imageLength = -1;
        startProblem = StartFailure::ImageFile;
        op.notify(problem, Notice::Failure);
        op.showMessage(preFlash ? "PreFlash.bin File Read Error !" : "BIN File Read Error !",
                       Icon::Warning);
        releaseAndEnd(false);
        return false;
    }
    image = std::move(*file);
    imageLength = static_cast<int>(image.size());
    next = 0;
    const std::string recordPath = places.recordFile().string();
    std::string why;
    recordFile = openRecordOutput(recordPath, why);
    if (recordFile < 0) {
        startProblem = StartFailure::RecordFile;
        op.notify("Cannot create " + recordPath + ": " + why, Notice::Failure);
        op.showMessage("Create Recv File Error !", Icon::Warning);
        releaseAndEnd(false);
        return false;
    }
    state = State::Send;
    sentCount = 0;
    checksum = 0;
    emptyPolls = 0;
    percentText = "0 %";
    return true;
}

void ProgrammingTransfer::releaseAndEnd(bool ok) {
    image.clear();
    image.shrink_to_fit();
    if (recordFile >= 0) {
        ::close(recordFile);
        recordFile = -1;
    }
    ended = true;
    endResult = ok ? 1 : 2;
}

bool ProgrammingTransfer::step() {
    if (ended) {
        return false;
    }
    if (state == State::Send) {
        sendNext();
    } else {
        awaitReply();
    }
    return !ended;
}

void ProgrammingTransfer::sendNext() {
    const int blockStart = sentCount;
    sentCount += blockSize;
    if (blockStart >= imageLength) {
        // Every byte of the image is out: the closing message.
        ++closingSent;
        const std::uint8_t closing[2] = {leadByte, static_cast<std::uint8_t>(0xFF - checksum)};
        if (Status status = sendWithinLineTime(*link, closing, sizeof closing, *timing.clock);
            !status.ok()) {
            failOn(status);
            return;
        }
    } else {
        // A last block shorter than 128 bytes is filled with 0xFF (erased flash)
        // so that every byte of the image reaches the target.
        std::array<std::uint8_t, 1 + blockSize> message;
        message.fill(0xFF);
        message[0] = leadByte;
        const auto block = message.begin() + 1;
        const int available = std::min(blockSize, imageLength - blockStart);
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(next), available, block);
        progressPosition = std::min(sentCount, imageLength);
        char text[16];
        std::snprintf(text, sizeof text, "%d %%",
                      static_cast<int>(progressPosition * 100 / imageLength));
        percentText = text;
        for (auto byte = block; byte != message.end(); ++byte) {
            checksum = static_cast<std::uint8_t>(checksum + *byte);
        }
        if (Status status =
                sendWithinLineTime(*link, message.data(), message.size(), *timing.clock);
            !status.ok()) {
            failOn(status);
            return;
        }
    }
    state = State::AwaitReply;
}

void ProgrammingTransfer::failOn(const Status& status) {
    op.notify(status.reason, Notice::Failure);
    releaseAndEnd(false);
}

bool ProgrammingTransfer::writeRecord(std::uint8_t reply) {
    std::array<std::uint8_t, recordSize> record{};
    record[0] = reply;
    return writeWhole(recordFile, record.data(), record.size()) == 0;
}

void ProgrammingTransfer::awaitReply() {
    if (emptyPolls > pollLimit) {
        op.showMessage("Time out !", Icon::Warning);
        releaseAndEnd(false);
        return;
    }
    if (link->available() == 0) {
        // One wait stands for several polls: the reply is taken the moment it
        // arrives either way, and the host wakes far less often while a block
        // crosses the line. The polls count by the time waited.
        const auto started = timing.clock->now();
        Status waited = link->waitForInput(started + timing.pollWait * pollsPerWait);
        if (waited.outcome == Outcome::TimedOut) {
            const auto polls = (timing.clock->now() - started) /
                               std::max<std::chrono::microseconds>(timing.pollWait, 1us);
            emptyPolls += static_cast<unsigned>(std::clamp<long long>(polls, 1, pollsPerWait));
            return;
        }
        if (!waited.ok()) {
            failOn(waited);
            return;
        }
    }
    std::uint8_t reply = 0;
    std::size_t taken = 0;
    if (Status status = link->take(&reply, 1, taken); !status.ok()) {
        failOn(status);
        return;
    }
    if (taken != 1) {
        // The count said a byte waited, yet none came: an empty poll.
        ++emptyPolls;
        return;
    }
    emptyPolls = 0;
    if (!writeRecord(reply)) {
        op.showMessage("Save to receive file error !", Icon::Warning);
        releaseAndEnd(false);
        return;
    }
    if (reply == nextBlockReply) {
        if (closingSent > closingResendLimit) {
            op.notify("The board asked for more after the last block.", Notice::Failure);
            releaseAndEnd(false);
            return;
        }
        next += blockSize;
        state = State::Send;
    } else if (reply == endReply) {
        if (sentCount < imageLength) {
            // The board cannot hold the whole image when it ends before the
            // last block went out: a failure, not a success.
            const int blocksSent = sentCount / blockSize;
            const int blocksInImage = (imageLength + blockSize - 1) / blockSize;
            op.notify("The board ended the transfer after block " + std::to_string(blocksSent) +
                          " of " + std::to_string(blocksInImage) + ".",
                      Notice::Failure);
            releaseAndEnd(false);
            return;
        }
        if (closingSent == 0) {
            succeededWithoutChecksum = true;
            op.notify("The board ended the transfer after the last block; the checksum was "
                      "never sent.",
                      Notice::Warning);
        }
        releaseAndEnd(true);
    } else {
        op.showMessage("Receive Error(B) !", Icon::Warning);
        releaseAndEnd(false);
    }
}

} // namespace velmora
