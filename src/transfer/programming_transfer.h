#pragma once

#include "core/exchange.h"
#include "core/operator.h"
#include "core/places.h"
#include "core/timing.h"
#include "serial/transport.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// The programming transfer: an image written block by block into the flash.
//
// "Programming .....": sends an image (tmp.bin, or PreFlash.bin after a boot
// download) to the target's flash-writing firmware in blocks of 128 bytes, each
// answered 0x11, then the closing message with the one's complement of the
// 8-bit sum of every byte sent, answered 0x06. Every answer is recorded in
// Recv.bin. An end reply before the last block has gone out is no success:
// the board cannot have the image. A board that asks for more after the
// closing message gets it again, a bounded number of times, so a confused
// board cannot keep the run (and Recv.bin) going for ever. A transport call
// that fails ends the transfer at once, after the operator is told the
// system's reason.
class ProgrammingTransfer : public Exchange {
public:
    // Where the step machine is: a message (or byte) to send next, or a reply to wait for.
    enum class State { Send, AwaitReply };

    static constexpr int blockSize = 128;
    static constexpr std::uint8_t leadByte = 0x11;
    static constexpr std::uint8_t nextBlockReply = 0x11;
    static constexpr std::uint8_t endReply = 0x06;
    static constexpr unsigned pollLimit = 60000;
    // Polls one wait for a reply may stand for.
    static constexpr int pollsPerWait = 16;
    static constexpr int recordSize = 16;
    // Times the closing message is sent again on a 0x11 answer before the
    // transfer gives up on the board.
    static constexpr int closingResendLimit = 8;

    ProgrammingTransfer(Operator& theOperator, Places filePlaces, Timing runTiming);
    ~ProgrammingTransfer() override;

    // Before each run: the transport the image goes over, and the image when
    // the caller has read it already (the write request reads it to announce
    // its size); without one, start() reads it from its file.
    void setUp(Transport& transport, std::optional<std::vector<std::uint8_t>> imageRead = {});

    Clock& clock() const override { return *timing.clock; }
    std::string caption() const override { return "Programming ....."; }
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
    bool holdsImage() const { return !image.empty(); }
    bool recordFileOpen() const { return recordFile >= 0; }
    std::uint8_t checksumSoFar() const { return checksum; }
    // The last run succeeded on an end reply to the last block: the board
    // never got the checksum, the only check of the data.
    bool endedBeforeChecksum() const { return succeededWithoutChecksum; }
    // Where the last run was: what kept it from starting, the block it had
    // sent last (from 1; 0 before the first), whether the closing message
    // had gone out, and the image's blocks.
    enum class StartFailure { None, ImageFile, RecordFile };
    StartFailure startFailure() const { return startProblem; }
    int lastBlockSent() const { return std::min(sentCount / blockSize, blockCount()); }
    bool closingMessageSent() const { return closingSent > 0; }
    int blockCount() const {
        return imageLength > 0 ? (imageLength + blockSize - 1) / blockSize : 0;
    }

private:
    void releaseAndEnd(bool ok);
    void sendNext();
    void awaitReply();
    bool writeRecord(std::uint8_t reply);
    void failOn(const Status& status);

    Operator& op;
    Places places;
    Timing timing;
    Transport* link = nullptr;

    std::string percentText;
    State state = State::Send;
    std::size_t next = 0; // index into image of the next block
    int sentCount = 0;
    int recordFile = -1;
    int imageLength = -1;
    std::vector<std::uint8_t> image;
    std::optional<std::vector<std::uint8_t>> handedImage; // from setUp, for the next start
    std::uint8_t checksum = 0;
    int closingSent = 0; // closing messages sent in this run
    bool succeededWithoutChecksum = false;
    StartFailure startProblem = StartFailure::None;
    unsigned emptyPolls = 0;
    long long progressPosition = 0;
    bool ended = false;
    int endResult = 0;
};

} // namespace velmora
