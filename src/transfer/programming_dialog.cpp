#include "transfer/programming_dialog.h"

#include "core/flags.h"
#include "transfer/file_bytes.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace velmora {

CProgrammingDialog::CProgrammingDialog(Operator& op, Places places, Timing timing)
    : op(op), places(std::move(places)), timing(timing) {}

CProgrammingDialog::~CProgrammingDialog() {
    if (recordFile >= 0) {
        ::close(recordFile);
    }
}

void CProgrammingDialog::setUp(Link& target) {
    link = &target;
    image.clear();
    image.shrink_to_fit();
    if (recordFile >= 0) {
        ::close(recordFile);
        recordFile = -1;
    }
    next = 0;
}

bool CProgrammingDialog::start() {
    ended = false;
    endResult = 0;
    percentText.clear();
    progressPosition = 0;
    const bool preFlash = bootDownloadDone != 0;
    auto file = readWholeFile(preFlash ? places.preFlashFile() : places.imageFile());
    if (!file || file->empty()) {
        imageLength = -1;
        op.showMessage(preFlash ? "PreFlash.bin File Read Error !" : "BIN File Read Error !",
                       Icon::Warning);
        releaseAndEnd(false);
        return false;
    }
    image = std::move(*file);
    imageLength = static_cast<int>(image.size());
    next = 0;
    recordFile = ::open(places.recordFile().c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (recordFile < 0) {
        op.showMessage("Create Recv File Error !", Icon::Warning);
        releaseAndEnd(false);
        return false;
    }
    state = Send;
    sentCount = 0;
    checksum = 0;
    finished = 0;
    emptyPolls = 0;
    percentText = "0 %";
    return true;
}

void CProgrammingDialog::releaseAndEnd(bool ok) {
    image.clear();
    image.shrink_to_fit();
    if (recordFile >= 0) {
        ::close(recordFile);
        recordFile = -1;
    }
    ended = true;
    endResult = ok ? 1 : 2;
}

bool CProgrammingDialog::step() {
    if (ended || finished) {
        return false;
    }
    if (state == Send) {
        sendNext();
    } else {
        awaitReply();
    }
    return !ended;
}

void CProgrammingDialog::sendNext() {
    const int blockStart = sentCount;
    sentCount += blockSize;
    if (blockStart >= imageLength) {
        // Every byte of the image is out: the closing message.
        const std::uint8_t closing[2] = {leadByte, static_cast<std::uint8_t>(0xFF - checksum)};
        link->send(&closing[0], 1);
        link->send(&closing[1], 1);
    } else {
        // A last block shorter than 128 bytes is filled with 0xFF (erased flash)
        // so that every byte of the image reaches the target.
        std::array<std::uint8_t, blockSize> block;
        block.fill(0xFF);
        const int available = std::min(blockSize, imageLength - blockStart);
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(next), available, block.begin());
        progressPosition = std::min(sentCount, imageLength);
        char text[16];
        std::snprintf(text, sizeof text, "%d %%",
                      static_cast<int>(progressPosition * 100 / imageLength));
        percentText = text;
        for (std::uint8_t byte : block) {
            checksum = static_cast<std::uint8_t>(checksum + byte);
        }
        link->send(&leadByte, 1);
        link->send(block.data(), blockSize);
    }
    state = AwaitReply;
}

bool CProgrammingDialog::writeRecord(std::uint8_t reply) {
    std::array<std::uint8_t, recordSize> record{};
    record[0] = reply;
    std::size_t written = 0;
    while (written < record.size()) {
        ssize_t count = ::write(recordFile, record.data() + written, record.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(count);
    }
    return true;
}

void CProgrammingDialog::awaitReply() {
    if (emptyPolls > pollLimit) {
        op.showMessage("Time out !", Icon::Warning);
        releaseAndEnd(false);
        return;
    }
    if (link->bytesWaiting() <= 0 && !link->waitForInput(timing.pollWait.count())) {
        ++emptyPolls;
        return;
    }
    std::uint8_t reply = 0;
    if (link->receive(&reply, 1) != 1) {
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
        next += blockSize;
        state = Send;
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
        finished = 1;
        releaseAndEnd(true);
    } else {
        op.showMessage("Receive Error(B) !", Icon::Warning);
        releaseAndEnd(false);
    }
}

} // namespace velmora
