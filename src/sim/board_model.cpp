#include "sim/board_model.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

namespace velmora {

namespace {

constexpr std::uint8_t commandLead = 0x57;
constexpr std::uint8_t blockLead = 0x11;
constexpr std::uint8_t nextBlock = 0x11;
constexpr std::uint8_t endOk = 0x06;
constexpr std::uint8_t refuse = 0x15;
constexpr std::uint8_t bootSelect = 0x55;
constexpr std::uint8_t bootSelected = 0xAA;
constexpr std::uint8_t endMarker = 0xAA;

constexpr std::string_view flashWord = "reflshu";
constexpr std::string_view allFlashWord = "reflsha";

// Start addresses and lengths of the flash's eight erase blocks.
struct EraseBlock {
    std::uint32_t start;
    std::uint32_t length;
};
constexpr std::array<EraseBlock, 8> eraseBlocks{{{0x00000, 0x400},
                                                 {0x00400, 0x400},
                                                 {0x00800, 0x400},
                                                 {0x00C00, 0x400},
                                                 {0x01000, 0x7000},
                                                 {0x08000, 0x8000},
                                                 {0x10000, 0x8000},
                                                 {0x18000, 0x8000}}};

constexpr std::size_t commandBlockLength = 2 + 4 * eraseBlocks.size();
constexpr std::size_t sizeMessageLength = 8;
constexpr std::size_t blockMessageLength = 1 + BoardModel::blockSize;
constexpr std::size_t closingMessageLength = 2;
constexpr std::size_t triggerLength = 7;

std::array<std::uint8_t, commandBlockLength> expectedCommandBlock() {
    std::array<std::uint8_t, commandBlockLength> block{};
    block[0] = commandLead;
    block[1] = static_cast<std::uint8_t>(eraseBlocks.size());
    for (std::size_t i = 0; i < eraseBlocks.size(); ++i) {
        std::uint32_t address = eraseBlocks[i].start;
        for (int b = 0; b < 4; ++b) {
            block[2 + 4 * i + b] = static_cast<std::uint8_t>(address >> (24 - 8 * b));
        }
    }
    return block;
}

std::string hexByte(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

bool accepts(const LineRates& rates, int baud) {
    return std::any_of(rates.begin(), rates.end(), [baud](const LineSetting& s) {
        return s.unknown || (s.frameOk && s.baud == baud);
    });
}

void mergeRates(LineRates& into, const LineRates& from) {
    for (const LineSetting& s : from) {
        if (std::find(into.begin(), into.end(), s) == into.end()) {
            into.push_back(s);
        }
    }
}

void fillRates(MessageRecord& record, const LineRates& rates) {
    for (const LineSetting& s : rates) {
        if (s.unknown) {
            record.rateUncertain = true;
            continue;
        }
        if (std::find(record.bauds.begin(), record.bauds.end(), s.baud) == record.bauds.end()) {
            record.bauds.push_back(s.baud);
        }
        record.frameOk = record.frameOk && s.frameOk;
    }
}

} // namespace

BoardModel::BoardModel(const BoardOptions& options)
    : options_(options), flash_(flashSize, 0xFF), stage_(Stage::Firmware) {
    options_.onWriteCompleted = nullptr; // the line thread calls it, not the model
    if (options_.mode == BoardOptions::Mode::Boot) {
        summary_.mode = "boot";
        enterBootStart();
    } else {
        summary_.mode = "user";
        stage_ = options_.startInReflashMode ? Stage::Reflash : Stage::Firmware;
    }
}

bool BoardModel::isWriteStage() const {
    return stage_ == Stage::Reflash || stage_ == Stage::BootProgramWrite ||
           stage_ == Stage::NewFirmwareWrite;
}

int BoardModel::expectedBaud() const {
    switch (stage_) {
    case Stage::Firmware:
        return options_.triggerBaud;
    case Stage::Reflash:
        return options_.reflashBaud;
    case Stage::Adjust:
    case Stage::Select:
    case Stage::Length:
    case Stage::Download:
        return options_.bootBaud;
    case Stage::BootProgramWrite:
        return options_.bootProgramBaud;
    case Stage::NewFirmwareWrite:
        return options_.newFirmwareBaud;
    case Stage::Astray:
    case Stage::Halted:
        break;
    }
    return 0;
}

std::string BoardModel::stageName() const {
    switch (stage_) {
    case Stage::BootProgramWrite:
        return "boot program";
    case Stage::NewFirmwareWrite:
        return "new firmware";
    default:
        return "user firmware";
    }
}

BoardResponse BoardModel::receive(std::uint8_t byte, const LineRates& rates, Clock::time_point at) {
    ++summary_.bytesReceived;
    if (stage_ == Stage::Halted) {
        return {};
    }
    if (stage_ == Stage::Astray) {
        recordIgnored("ignored: the chip runs a program it cannot run", rates);
        return {};
    }
    if (!accepts(rates, expectedBaud())) {
        // A byte sent at another rate or frame reaches a real UART as a framing
        // error or as some other byte: either way nothing the step can use.
        recordIgnored("ignored: not sent at " + std::to_string(expectedBaud()) + " baud 8N1",
                      rates);
        return {};
    }
    byteRates_ = rates;
    lastByteAt_ = at;
    switch (stage_) {
    case Stage::Firmware:
        return onTriggerByte(byte);
    case Stage::Reflash:
    case Stage::BootProgramWrite:
    case Stage::NewFirmwareWrite:
        return onWriteByte(byte);
    case Stage::Adjust:
    case Stage::Select:
    case Stage::Length:
    case Stage::Download:
        return onBootByte(byte);
    case Stage::Astray:
    case Stage::Halted:
        break;
    }
    return {};
}

// ---- the firmware ----------------------------------------------------------

BoardResponse BoardModel::onTriggerByte(std::uint8_t byte) {
    pending_.push_back(byte);
    mergeRates(pendingRates_, byteRates_);
    if (pending_.size() < triggerLength) {
        return {};
    }
    std::string word(pending_.begin(), pending_.end());
    if (word == flashWord || word == allFlashWord) {
        record("trigger word", pending_.size(),
               "accepted: " + word + (word == flashWord ? " (Flash)" : " (All flash)"), -1);
        stage_ = Stage::Reflash;
        step_ = Step::Command;
    } else {
        std::string shown;
        for (char c : word) {
            shown += (c >= 0x20 && c < 0x7F) ? std::string(1, c) : hexByte(c);
        }
        record("trigger word", pending_.size(), "refused: unknown word " + shown, -1);
    }
    return {};
}

BoardResponse BoardModel::onWriteByte(std::uint8_t byte) {
    if (step_ != Step::Command && pending_.empty() && byte == commandLead) {
        // Size messages lead with 0x00, blocks and the closing message with
        // 0x11: a 'W' here is a host that gave up and starts a new write.
        if (step_ != Step::Size) {
            currentWrite().outcome = "abandoned: a new command block came";
            ++summary_.failedWrites;
        }
        step_ = Step::Command;
    }
    if (step_ == Step::Command && pending_.empty() && byte != commandLead) {
        // The loader looks for the command's 'W'; anything else is line noise
        // (the failure byte a host sends after a refused message, for one).
        recordIgnored("ignored: not a command", byteRates_);
        return {};
    }
    pending_.push_back(byte);
    mergeRates(pendingRates_, byteRates_);
    switch (step_) {
    case Step::Command:
        return pending_.size() == commandBlockLength ? onCommandBlock() : BoardResponse{};
    case Step::Size:
        return pending_.size() == sizeMessageLength ? onSizeMessage() : BoardResponse{};
    case Step::Blocks:
        return pending_.size() == blockMessageLength ? onBlock() : BoardResponse{};
    case Step::Closing:
        return pending_.size() == closingMessageLength ? onClosing() : BoardResponse{};
    }
    return {};
}

BoardResponse BoardModel::onCommandBlock() {
    const auto expected = expectedCommandBlock();
    for (std::size_t i = 0; i < commandBlockLength; ++i) {
        if (pending_[i] != expected[i]) {
            record("command block", pending_.size(),
                   "refused: byte " + std::to_string(i + 1) + " is " + hexByte(pending_[i]) +
                       ", not " + hexByte(expected[i]),
                   refuse);
            return answer(refuse);
        }
    }
    eraseNamedBlocks();
    record("command block", pending_.size(), "accepted: blocks erased", options_.acknowledge);
    step_ = Step::Size;
    return answer(options_.acknowledge);
}

void BoardModel::eraseNamedBlocks() {
    for (std::size_t i = 0; i < eraseBlocks.size(); ++i) {
        std::uint32_t address = 0;
        for (int b = 0; b < 4; ++b) {
            address = (address << 8) | pending_[2 + 4 * i + b];
        }
        for (const EraseBlock& block : eraseBlocks) {
            if (block.start == address) {
                std::fill_n(flash_.begin() + block.start, block.length, 0xFF);
            }
        }
    }
}

BoardResponse BoardModel::onSizeMessage() {
    std::uint32_t size = 0;
    for (std::size_t i = 4; i < 8; ++i) {
        size = (size << 8) | pending_[i];
    }
    std::string why;
    if (pending_[0] != 0 || pending_[1] != 0 || pending_[2] != 0 || pending_[3] != 0) {
        why = "the first four bytes are not zero";
    } else if (size == 0) {
        why = "size 0";
    } else if (size > flashSize) {
        why = "size " + std::to_string(size) + " exceeds the flash";
    }
    if (!why.empty()) {
        record("size message", pending_.size(), "refused: " + why, refuse);
        step_ = Step::Command;
        return answer(refuse);
    }
    writeSize_ = size;
    blocksExpected_ = static_cast<int>((size + blockSize - 1) / blockSize);
    blocksReceived_ = 0;
    blockSum_ = 0;
    ++writeNumber_;
    WriteRecord write;
    write.stage = stageName();
    write.size = size;
    write.blocksExpected = blocksExpected_;
    write.baud = expectedBaud();
    summary_.writes.push_back(write);
    record("size message", pending_.size(), "accepted: " + std::to_string(size) + " bytes",
           options_.acknowledge);
    step_ = Step::Blocks;
    return answer(options_.acknowledge);
}

bool BoardModel::blockFaultApplies() const {
    return options_.faultWrite == 0 || options_.faultWrite == writeNumber_;
}

BoardResponse BoardModel::onBlock() {
    const int number = blocksReceived_ + 1;
    const std::size_t start = static_cast<std::size_t>(blocksReceived_) * blockSize;
    const std::size_t dataEnd = std::min<std::size_t>(writeSize_, start + blockSize);
    std::string why;
    if (pending_[0] != blockLead) {
        why = "lead byte " + hexByte(pending_[0]) + ", not 0x11";
    } else {
        for (std::size_t i = dataEnd - start; i < blockSize; ++i) {
            if (pending_[1 + i] != 0xFF) {
                why = "padding byte " + std::to_string(i + 1) + " is " + hexByte(pending_[1 + i]) +
                      ", not 0xFF";
                break;
            }
        }
    }
    const std::string kind = "block";
    if (!why.empty()) {
        record(kind, pending_.size(), "refused: block " + std::to_string(number) + ": " + why,
               refuse);
        currentWrite().outcome = "refused block " + std::to_string(number) + ": " + why;
        endWrite(false);
        return answer(refuse);
    }
    const bool faulty = blockFaultApplies();
    if (faulty && options_.nakBlock == number) {
        noteFault("NAK on block " + std::to_string(number) + " of write " +
                  std::to_string(writeNumber_));
        record(kind, pending_.size(), "refused: fault", refuse);
        currentWrite().blocksReceived = number;
        currentWrite().outcome = "refused by fault";
        endWrite(false);
        return answer(refuse);
    }
    for (std::size_t i = 0; i < blockSize; ++i) {
        blockSum_ = static_cast<std::uint8_t>(blockSum_ + pending_[1 + i]);
    }
    for (std::size_t i = start; i < dataEnd; ++i) {
        flash_[i] &= pending_[1 + i - start]; // programming only clears bits
    }
    blocksReceived_ = number;
    currentWrite().blocksReceived = number;
    currentWrite().checksumExpected = static_cast<std::uint8_t>(~blockSum_);
    if (faulty && options_.dropAfterBlock == number) {
        noteFault("link dropped after block " + std::to_string(number) + " of write " +
                  std::to_string(writeNumber_));
        record(kind, pending_.size(), "accepted: then the link dropped", -1);
        currentWrite().outcome = "link dropped";
        ++summary_.failedWrites;
        stage_ = Stage::Halted;
        pending_.clear();
        BoardResponse response;
        response.dropLink = true;
        return response;
    }
    if (faulty && options_.earlyAckBlock == number) {
        noteFault("early 0x06 after block " + std::to_string(number) + " of write " +
                  std::to_string(writeNumber_));
        record(kind, pending_.size(), "accepted: ended early by fault", endOk);
        currentWrite().outcome = "ended early by fault";
        endWrite(false);
        return answer(endOk);
    }
    record(kind, pending_.size(), "accepted", nextBlock);
    if (blocksReceived_ == blocksExpected_) {
        step_ = Step::Closing;
    }
    return answer(nextBlock);
}

BoardResponse BoardModel::onClosing() {
    const std::uint8_t expected = static_cast<std::uint8_t>(~blockSum_);
    WriteRecord& write = currentWrite();
    write.checksumExpected = expected;
    write.checksumReceived = pending_[1];
    if (pending_[0] != blockLead) {
        write.outcome = "closing message lead byte " + hexByte(pending_[0]);
        record("closing message", pending_.size(), "refused: " + write.outcome, refuse);
        endWrite(false);
        return answer(refuse);
    }
    if (pending_[1] != expected) {
        write.outcome = "checksum wrong";
        record("closing message", pending_.size(),
               "refused: checksum " + hexByte(pending_[1]) + ", expected " + hexByte(expected),
               refuse);
        endWrite(false);
        return answer(refuse);
    }
    write.outcome = "completed";
    record("closing message", pending_.size(), "accepted: checksum right", endOk);
    endWrite(true);
    return answer(endOk);
}

void BoardModel::endWrite(bool completed) {
    pending_.clear();
    pendingRates_.clear();
    step_ = Step::Command;
    if (completed) {
        ++summary_.completedWrites;
    } else {
        ++summary_.failedWrites;
    }
    switch (stage_) {
    case Stage::Reflash:
        // A completed write starts the new program; a failed one leaves the
        // flash half written, so the board stays in its reflash mode.
        stage_ = (completed && !options_.stayInReflashMode) ? Stage::Firmware : Stage::Reflash;
        break;
    case Stage::BootProgramWrite:
        if (completed) {
            stage_ = Stage::NewFirmwareWrite;
        } else {
            enterBootStart();
        }
        break;
    case Stage::NewFirmwareWrite:
        // The run is over; the board waits in boot mode for the next one.
        enterBootStart();
        break;
    default:
        break;
    }
}

// ---- the chip's boot mode --------------------------------------------------

void BoardModel::enterBootStart() {
    stage_ = Stage::Adjust;
    adjustZeros_ = 0;
    adjustRecord_ = -1;
    pending_.clear();
    pendingRates_.clear();
}

BoardResponse BoardModel::echo(std::uint8_t byte) {
    ++downloadIndex_;
    if (options_.wrongEchoByte > 0 && downloadIndex_ == options_.wrongEchoByte) {
        wrongEchoesLeft_ = std::max(1, options_.wrongEchoCount);
    }
    if (wrongEchoesLeft_ > 0) {
        --wrongEchoesLeft_;
        noteFault("wrong echo of boot byte " + std::to_string(downloadIndex_));
        return answer(static_cast<std::uint8_t>(byte ^ 0xFF));
    }
    return answer(byte);
}

BoardResponse BoardModel::onBootByte(std::uint8_t byte) {
    switch (stage_) {
    case Stage::Adjust:
        return onAdjustByte(byte);
    case Stage::Select:
        return onSelectByte(byte);
    case Stage::Length:
        return onLengthByte(byte);
    case Stage::Download:
        return onDownloadByte(byte);
    default:
        break;
    }
    return {};
}

// The 0x00 stream of the bit-rate adjustment, answered 0x00 once measured.
BoardResponse BoardModel::onAdjustByte(std::uint8_t byte) {
    if (byte != 0x00) {
        adjustZeros_ = 0;
        adjustRecord_ = -1;
        recordIgnored("ignored: not a bit-rate byte", byteRates_);
        return {};
    }
    ++adjustZeros_;
    if (adjustRecord_ < 0) {
        pendingRates_.clear();
        mergeRates(pendingRates_, byteRates_);
        record("bit-rate adjustment", 0, "measuring", -1);
        adjustRecord_ = static_cast<int>(summary_.messages.size()) - 1;
    }
    MessageRecord& adjust = summary_.messages[adjustRecord_];
    adjust.bytes = static_cast<std::size_t>(adjustZeros_);
    fillRates(adjust, byteRates_);
    if (adjustZeros_ < options_.adjustZeros) {
        return {};
    }
    if (options_.noAdjustAnswer) {
        if (adjustZeros_ == options_.adjustZeros) {
            noteFault("no answer to the bit-rate adjustment");
        }
        adjust.result = "adjusted: answer withheld by fault";
        return {};
    }
    adjust.result = "adjusted";
    adjust.reply = 0x00;
    stage_ = Stage::Select;
    return answer(0x00);
}

// 0x55 selects the boot download, answered 0xAA; anything else starts over.
BoardResponse BoardModel::onSelectByte(std::uint8_t byte) {
    if (byte == 0x00) {
        recordIgnored("ignored: bit-rate byte after the adjustment", byteRates_);
        return {};
    }
    pendingRates_ = byteRates_;
    if (byte != bootSelect) {
        record("boot select", 1, "refused: " + hexByte(byte) + ", not 0x55", -1);
        enterBootStart();
        return {};
    }
    if (options_.noSelectAnswer) {
        noteFault("no answer to 0x55");
        record("boot select", 1, "accepted: answer withheld by fault", -1);
        return {};
    }
    record("boot select", 1, "accepted", bootSelected);
    stage_ = Stage::Length;
    downloadIndex_ = 0;
    wrongEchoesLeft_ = 0;
    program_.clear();
    return answer(bootSelected);
}

// The two length bytes of the boot program, each echoed.
BoardResponse BoardModel::onLengthByte(std::uint8_t byte) {
    pending_.push_back(byte);
    mergeRates(pendingRates_, byteRates_);
    BoardResponse response = echo(byte);
    if (pending_.size() == 2) {
        bootLength_ = (static_cast<std::uint32_t>(pending_[0]) << 8) | pending_[1];
        if (bootLength_ == 0) {
            record("boot length", 2, "refused: length 0", -1);
            enterBootStart();
        } else {
            record("boot length", 2, "accepted: " + std::to_string(bootLength_) + " bytes", -1);
            stage_ = Stage::Download;
            pendingRates_.clear();
        }
        pending_.clear();
    }
    return response;
}

// The boot program, each byte echoed, then the end marker once it is whole.
BoardResponse BoardModel::onDownloadByte(std::uint8_t byte) {
    program_.push_back(byte);
    mergeRates(pendingRates_, byteRates_);
    BoardResponse response = echo(byte);
    if (program_.size() < bootLength_) {
        return response;
    }
    ++summary_.bootDownloads;
    BoardResponse marker = answer(endMarker);
    for (BoardOutput& output : marker.outputs) {
        output.afterHostDrained = true;
        response.outputs.push_back(output);
    }
    if (!options_.expectedBootProgram.empty() && program_ != options_.expectedBootProgram) {
        record("boot program", program_.size(),
               "refused: not the expected boot program; the chip runs astray", endMarker);
        stage_ = Stage::Astray;
    } else {
        record("boot program", program_.size(), "accepted: end marker sent", endMarker);
        stage_ = Stage::BootProgramWrite;
        step_ = Step::Command;
    }
    return response;
}

// ---- messages cut short ------------------------------------------------------

std::optional<BoardModel::Clock::time_point> BoardModel::expiryDeadline() const {
    if (pending_.empty() || !(stage_ == Stage::Firmware || isWriteStage())) {
        return std::nullopt;
    }
    return lastByteAt_ + options_.messageGap;
}

BoardResponse BoardModel::expire(Clock::time_point now) {
    auto deadline = expiryDeadline();
    if (!deadline || now < *deadline) {
        return {};
    }
    if (stage_ == Stage::Firmware) {
        record("incomplete", pending_.size(), "ignored: trigger word cut short", -1);
        pending_.clear();
        pendingRates_.clear();
        return {};
    }
    record("incomplete", pending_.size(), "refused: message cut short", refuse);
    if (step_ == Step::Blocks || step_ == Step::Closing) {
        currentWrite().outcome = "incomplete message";
        endWrite(false);
    } else {
        step_ = Step::Command;
        pending_.clear();
        pendingRates_.clear();
    }
    return answer(refuse);
}

// ---- summary ---------------------------------------------------------------

BoardResponse BoardModel::answer(std::uint8_t byte) {
    BoardResponse response;
    if (options_.silent) {
        if (!silenceNoted_) {
            noteFault("silent: every answer withheld");
            silenceNoted_ = true;
        }
        return response;
    }
    response.outputs.push_back({byte, false});
    return response;
}

void BoardModel::record(std::string kind, std::size_t bytes, std::string result, int reply) {
    MessageRecord message;
    message.kind = std::move(kind);
    message.bytes = bytes;
    fillRates(message, pendingRates_.empty() ? byteRates_ : pendingRates_);
    message.result = std::move(result);
    message.reply = options_.silent ? -1 : reply;
    summary_.messages.push_back(std::move(message));
    if (stage_ != Stage::Adjust) {
        pending_.clear();
    }
    pendingRates_.clear();
}

void BoardModel::recordIgnored(const std::string& why, const LineRates& rates) {
    ++summary_.ignoredBytes;
    MessageRecord message;
    message.kind = "ignored";
    message.bytes = 1;
    fillRates(message, rates);
    message.result = why;
    if (!summary_.messages.empty()) {
        MessageRecord& last = summary_.messages.back();
        if (last.kind == message.kind && last.result == why && last.bauds == message.bauds &&
            last.frameOk == message.frameOk && last.rateUncertain == message.rateUncertain) {
            ++last.bytes;
            return;
        }
    }
    summary_.messages.push_back(std::move(message));
}

void BoardModel::noteFault(std::string fault) {
    summary_.faultsInjected.push_back(std::move(fault));
}

void BoardModel::noteLinkDropped() {
    summary_.linkDropped = true;
    stage_ = Stage::Halted;
}

} // namespace velmora
