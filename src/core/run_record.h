#pragma once

#include "core/operator.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// The commands a run record is kept for.
enum class RunCommand {
    None,
    Load,         // a program file opened: read, checked, tmp.bin written
    Flash,        // the firmware's trigger word, then a write
    AllFlash,     // the same with the other trigger word
    WriteCommand, // a write to a board already in its reflash mode
    WriteToFlash, // the write request alone (command block, size, transfer)
    SetBootMode,  // Flash Action Setting: the chip's boot mode, then two writes
};

// How a run ended.
enum class RunResult {
    None,        // not ended yet (or nothing was run)
    Loaded,      // a load that succeeded
    Programmed,  // the board took the image: "Porgramming successfully !"
    Failed,      // anything else that ended the run before its end
    Stopped,     // the operator's Stop (or Esc) ended an exchange
    Interrupted, // a signal asked the process to end
};

// Where a run was when it ended: the step that failed, or Finished.
enum class RunStage {
    None,
    // Loads.
    OpeningFile,    // the program file could not be opened
    ReadingFile,    // reading it failed
    FindingRecords, // no S1 or S2 data record in it: not a program of this kind
    RecordRange,    // no data record below 0x20000
    CuttingLines,   // no record could be placed in the image
    FillingGaps,    // records that overlap the image's lines in a way it cannot hold
    WritingImage,   // tmp.bin could not be written
    // Programming runs.
    PreviousRun,    // a previous run's busy mark was found and only cleared
    LoadedProgram,  // no program loaded
    ModeCheck,      // a write request in neither user nor boot mode
    OpeningPort,    // the port (or the control's line) could not be opened
    TriggerWord,    // the trigger word could not go out
    ReopeningPort,  // the port could not be opened again at 9600
    ImageFile,      // the image to send (tmp.bin or PreFlash.bin) cannot be read
    CommandBlock,   // the command block, or its acknowledgement
    SizeMessage,    // the size message, or its acknowledgement
    RecordFile,     // Recv.bin could not be made
    Block,          // block K of N of the image (blockNumber, blockCount)
    ClosingMessage, // the closing message with the checksum, or its answer
    BootHandshake,  // the boot mode's 0x00 bytes until the chip answers
    BootSelect,     // 0x55, answered 0xAA
    BootFile,       // the boot program (3062f.bin) cannot be sent
    BootDownload,   // the boot program's echoed download
    Finished,       // the run reached its end
};

// One message the run showed or one notice it told, in the order told.
struct RunEntry {
    bool notice = false;           // a notice (notify) rather than a message box
    Icon icon = Icon::Warning;     // a message box's icon
    Notice kind = Notice::Failure; // a notice's kind
    std::string text;
};

// What one command did, filled as it runs by whoever carries it out (the
// programming control, the document's load): the front ends, the report,
// the history and the hints read it instead of guessing from message texts.
struct RunRecord {
    using Clock = std::chrono::system_clock;

    RunCommand command = RunCommand::None;
    // The port as the operator named it ("1", "/dev/ttyUSB0", "sim"), whether
    // the run took it by default, and the device the run opened or tried to.
    std::string portNamed;
    bool portByDefault = false;
    std::string portDevice;
    bool portOpened = false;
    // The program file (.mot) the image was built from; the built image's
    // size (-1 unknown) and SHA-256 (lowercase hex).
    std::string programFile;
    long long imageSize = -1;
    std::string imageSha256;
    // The image a write was sending when the run ended ("tmp.bin",
    // "PreFlash.bin"); empty when none.
    std::string imageSent;
    Clock::time_point start{};
    Clock::time_point end{};
    RunResult result = RunResult::None;
    RunStage stage = RunStage::None;
    int blockNumber = 0; // Block: the block in flight, from 1
    int blockCount = 0;  // the image's blocks of 128 bytes
    // The system's or the transport's reason for the failure, when there is
    // one ("Cannot open /dev/ttyUSB9: No such file or directory"); empty for
    // a board that simply did not answer.
    std::string cause;
    // The board ended a transfer after its last block, before the checksum.
    bool endedBeforeChecksum = false;
    std::vector<RunEntry> entries;
    long long bytesSent = 0;
    long long bytesReceived = 0;

    bool ended() const { return result != RunResult::None; }
    bool succeeded() const {
        return result == RunResult::Programmed || result == RunResult::Loaded;
    }
    double seconds() const { return std::chrono::duration<double>(end - start).count(); }
    // The message boxes' texts, in order.
    std::vector<std::string> messages() const;
    // The notices' texts, in order.
    std::vector<std::string> notices() const;
};

// Names as reports and logs give them: "flash", "programmed", "size message".
std::string_view commandName(RunCommand command);
std::string_view resultName(RunResult result);
std::string_view stageName(RunStage stage);
// The stage's name, a block with its number: "block 3 of 8".
std::string stageText(const RunRecord& record);

// Passes everything on to the operator it wraps and keeps each message and
// notice in the record it is pointed at, the first failure notice as the
// run's cause.
class RecordKeeper : public Operator {
public:
    explicit RecordKeeper(Operator& wrapped) : inner(wrapped) {}

    void keepIn(RunRecord* target) { record = target; }
    Operator& wrapped() { return inner; }

    void showMessage(std::string_view text, Icon icon = Icon::Warning) override;
    int runExchange(Exchange& exchange) override { return inner.runExchange(exchange); }
    void pause(int passes) override { inner.pause(passes); }
    void notify(std::string_view text, Notice kind) override;

private:
    Operator& inner;
    RunRecord* record = nullptr;
};

} // namespace velmora
