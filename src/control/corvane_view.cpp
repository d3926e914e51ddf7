#include "control/corvane_view.h"

#include "core/file_io.h"
#include "core/sha256.h"
#include "serial/ms_comm.h"
#include "serial/port_names.h"
#include "serial/ports.h"
#include "serial/serial_port.h"

#include <algorithm>
#include <cstring>

namespace velmora {

namespace {

// Pauses, in passes.
constexpr int longPause = 3001;
constexpr int resetPause = 701;
constexpr int settingsPause = 51;

// 'W', the number of addresses, and the start of each of the flash's eight erase blocks.
const ByteBuffer commandBlock = {
    0x57, 0x08,                                     //
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, //
    0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x0C, 0x00, //
    0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x80, 0x00, //
    0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x80, 0x00, //
};

constexpr std::uint8_t failureByte = 0x06;

ByteBuffer sizeMessage(int size) {
    // The size in two 16-bit halves, each upper byte first.
    const auto value = static_cast<std::uint32_t>(size);
    const std::uint32_t high = value / 65536;
    const std::uint32_t low = value % 65536;
    return {0x00,
            0x00,
            0x00,
            0x00,
            static_cast<std::uint8_t>(high / 256),
            static_cast<std::uint8_t>(high % 256),
            static_cast<std::uint8_t>(low / 256),
            static_cast<std::uint8_t>(low % 256)};
}

} // namespace

// One command's run: the outermost scope starts the view's run record and
// ends it; a command run from inside another adds to the outer's record.
class RunScope {
public:
    RunScope(CCorvaneView& control, RunCommand command) : view(control) {
        if (control.runDepth++ > 0) {
            return;
        }
        RunRecord& run = control.run;
        run = RunRecord{};
        run.command = command;
        run.start = RunRecord::Clock::now();
        run.portNamed = control.portNamed.empty() ? std::to_string(CCorvaneView::directPort)
                                                  : control.portNamed;
        run.portByDefault = control.portByDefault;
        run.programFile = control.programFile;
    }
    ~RunScope() {
        if (--view.runDepth > 0) {
            return;
        }
        RunRecord& run = view.run;
        run.end = RunRecord::Clock::now();
        if (stopRequested() && !run.succeeded()) {
            run.result = RunResult::Interrupted;
        } else if (run.result == RunResult::None) {
            run.result = RunResult::Failed;
        }
    }
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

private:
    CCorvaneView& view;
};

CCorvaneView::CCorvaneView(Operator& outer, SerialPort& port, CMSComm& commControl, Places places,
                           Timing runTiming)
    : op(outer), directLink(run.bytesSent, run.bytesReceived),
      controlLink(run.bytesSent, run.bytesReceived), serialPort(port), comm(commControl),
      filePlaces(places), timing(runTiming), programmingTransfer(op, places, runTiming),
      responseWait(op, runTiming), bootDownloadExchange(op, places, runTiming) {
    op.keepIn(&run);
}

void CCorvaneView::setPortNamed(std::string asNamed, bool byDefault) {
    portNamed = std::move(asNamed);
    portByDefault = byDefault;
}

void CCorvaneView::notePortOpen(const std::string& device, bool opened) {
    run.portDevice = device;
    run.portOpened = opened;
}

void CCorvaneView::noteExchangeEnd(const Exchange& exchange) {
    if (exchange.endedByStop() && run.result == RunResult::None) {
        run.result = RunResult::Stopped;
    }
}

// Where a transfer that did not succeed ended: its files, a block, the closing message.
void CCorvaneView::noteTransferEnd() {
    noteExchangeEnd(programmingTransfer);
    switch (programmingTransfer.startFailure()) {
    case ProgrammingTransfer::StartFailure::ImageFile:
        at(RunStage::ImageFile);
        return;
    case ProgrammingTransfer::StartFailure::RecordFile:
        at(RunStage::RecordFile);
        return;
    case ProgrammingTransfer::StartFailure::None:
        break;
    }
    run.blockCount = programmingTransfer.blockCount();
    if (programmingTransfer.closingMessageSent()) {
        at(RunStage::ClosingMessage);
        return;
    }
    at(RunStage::Block);
    run.blockNumber = std::max(1, programmingTransfer.lastBlockSent());
}

Transport& CCorvaneView::writeLink() {
    if (writeOverControl) {
        return controlLink.over(comm.transport());
    }
    return directLink.over(serialPort.transport());
}

bool CCorvaneView::tell(const Status& status) {
    if (!status.ok()) {
        op.notify(status.reason, Notice::Failure);
    }
    return status.ok();
}

bool CCorvaneView::sendOnWriteLink(const ByteBuffer& message) {
    return tell(sendWithinLineTime(writeLink(), message.data(), message.size(), *timing.clock));
}

void CCorvaneView::notReady(const char* message) {
    op.showMessage(message, Icon::Warning);
    if (comm.portOpen()) {
        ++run.bytesSent; // the failure byte
    }
    comm.setOutput(ByteBuffer{failureByte});
    resetTarget();
}

void CCorvaneView::loadBytes(ByteBuffer& buffer, const std::uint8_t* bytes, int count) {
    buffer.clear();
    for (int i = 0; i < count; ++i) {
        buffer.push_back(bytes[i]);
    }
}

int CCorvaneView::readImageFile(const std::filesystem::path& path) {
    auto file = readWholeFile(path);
    if (!file || file->empty()) {
        return -1;
    }
    return static_cast<int>(file->size());
}

void CCorvaneView::selectBaud38400() {
    comm.setSettings("38400,n,8,1");
}

void CCorvaneView::resetTarget() {
    op.pause(resetPause);
    serialPort.close();
    bootMode = 0;
    bootHandshake = 0;
    bootDownloadDone = 0;
    userMode = 0;
    programmingPending = 0;
}

void CCorvaneView::setUserMode() {
    if (bootMode == 1) {
        op.showMessage("Boot Mode has been Enabled !", Icon::Stop);
        return;
    }
    if (userMode == 1) {
        resetTarget();
        op.showMessage("User Mode Disabled !", Icon::Stop);
        return;
    }
    userMode = 1;
}

bool CCorvaneView::isEnabled(int command) const {
    switch (command) {
    case WriteToFlashCommand:
        return programmingPending == 0;
    default:
        return true;
    }
}

bool CCorvaneView::isChecked(int command) const {
    switch (command) {
    case FlashCommand:
    case AllFlashCommand:
    case WriteCommandCommand:
        return busy != 0;
    default:
        return false;
    }
}

bool CCorvaneView::runCommand(int command) {
    if (!isEnabled(command)) {
        return false;
    }
    switch (command) {
    case WriteToFlashCommand:
        writeToFlash();
        return true;
    case StartProgrammingCommand:
        startProgramming();
        return true;
    case SetBootModeCommand:
        setBootMode();
        return true;
    case SetUserModeCommand:
        setUserMode();
        return true;
    case FlashCommand:
        flash();
        return true;
    case AllFlashCommand:
        allFlash();
        return true;
    case WriteCommandCommand:
        writeCommand();
        return true;
    default:
        return false;
    }
}

void CCorvaneView::writeToFlash() {
    RunScope scope(*this, RunCommand::WriteToFlash);
    if (userMode == 0 && bootMode == 0) {
        at(RunStage::ModeCheck);
        op.showMessage("System not ready. Please repeat the flash action again !", Icon::Warning);
        return;
    }
    if (userMode != 0 && dataReady == 0) {
        at(RunStage::LoadedProgram);
        op.showMessage("Data is not ready. Please reload your file !", Icon::Warning);
        return;
    }
    const bool preFlash = bootDownloadDone != 0;
    at(RunStage::ImageFile);
    run.imageSent = preFlash ? "PreFlash.bin" : "tmp.bin";
    std::string problem;
    auto image =
        readFileToSend(preFlash ? filePlaces.preFlashFile() : filePlaces.imageFile(), problem);
    imageSize = image ? static_cast<int>(image->size()) : -1;
    if (image && !preFlash) {
        run.imageSize = imageSize;
        run.imageSha256 = sha256Hex(image->data(), image->size());
    }
    if (imageSize < 0) {
        // Nothing is announced for an image that cannot be sent.
        op.notify(problem, Notice::Failure);
        op.showMessage(preFlash ? "PreFlash.bin File Read Error !" : "BIN File Read Error !",
                       Icon::Warning);
        resetTarget();
        return;
    }
    const ByteBuffer size = sizeMessage(imageSize);

    at(RunStage::CommandBlock);
    if (!sendOnWriteLink(commandBlock)) {
        notReady("System not Ready(A) !");
        return;
    }
    responseWait.setUp(controlLink.over(comm.transport()), writeLink(), bootHandshake,
                       bootSyncSeen);
    if (op.runExchange(responseWait) != 1) {
        noteExchangeEnd(responseWait);
        notReady("System not Ready(A) !");
        return;
    }
    at(RunStage::SizeMessage);
    if (!sendOnWriteLink(size)) {
        notReady("System not Ready(B) !");
        return;
    }
    responseWait.setUp(controlLink.over(comm.transport()), writeLink(), bootHandshake,
                       bootSyncSeen);
    if (op.runExchange(responseWait) != 1) {
        noteExchangeEnd(responseWait);
        notReady("System not Ready(B) !");
        return;
    }
    programmingPending = 1;
    if (bootMode != 0 || userMode != 0) {
        // The bytes announced are the bytes sent: the transfer takes them as read here.
        sendImage(std::move(image));
    }
}

void CCorvaneView::startProgramming() {
    sendImage(std::nullopt);
}

void CCorvaneView::sendImage(std::optional<std::vector<std::uint8_t>> image) {
    RunScope scope(*this, RunCommand::WriteToFlash);
    comm.setInputMode(1);
    run.imageSent = bootDownloadDone != 0 ? "PreFlash.bin" : "tmp.bin";
    at(RunStage::Block);
    programmingTransfer.setUp(writeLink(), std::move(image));
    if (op.runExchange(programmingTransfer) != 1) {
        noteTransferEnd();
        op.showMessage("Programming Data Error. Please try again !", Icon::Warning);
        programmingPending = 0;
        resetTarget();
        return;
    }
    if (programmingTransfer.endedBeforeChecksum()) {
        ++unchecked;
        run.endedBeforeChecksum = true;
    }
    if (bootDownloadDone == 0) {
        ++programmed;
        at(RunStage::Finished);
        run.result = RunResult::Programmed;
        run.imageSent.clear();
        op.showMessage("Porgramming successfully !", Icon::Information);
        resetTarget();
    }
    programmingPending = 0;
}

void CCorvaneView::flashWithTrigger(const char* triggerWord) {
    op.pause(longPause);
    if (busy) {
        // A previous run did not reach its end: only clear the mark.
        at(RunStage::PreviousRun);
        busy = 0;
        return;
    }
    if (dataReady == 0) {
        at(RunStage::LoadedProgram);
        op.showMessage("Data is not ready. Please reload your file !", Icon::Warning);
        return;
    }
    writeOverControl = false;
    // A port that cannot be opened, or a trigger word that cannot go out, ends
    // the command here: the board cannot have heard it.
    at(RunStage::OpeningPort);
    const bool opened = serialPort.open(directPort, 2400) == 1;
    notePortOpen(serialPort.ports().device(directPort), opened);
    if (opened) {
        at(RunStage::TriggerWord);
    }
    if (!opened || !tell(sendWithinLineTime(directLink.over(serialPort.transport()),
                                            reinterpret_cast<const std::uint8_t*>(triggerWord),
                                            std::strlen(triggerWord), *timing.clock))) {
        tell(serialPort.lastFailure());
        notReady("System not Ready(A) !");
        return;
    }
    busy = 1;
    op.pause(longPause);
    serialPort.close();
    at(RunStage::ReopeningPort);
    if (serialPort.open(directPort, 9600) != 1) {
        tell(serialPort.lastFailure());
        notReady("System not Ready(A) !");
        busy = 0;
        return;
    }
    setUserMode();
    writeToFlash();
    busy = 0;
}

void CCorvaneView::flash() {
    RunScope scope(*this, RunCommand::Flash);
    flashWithTrigger(flashTriggerWord);
}

void CCorvaneView::allFlash() {
    RunScope scope(*this, RunCommand::AllFlash);
    flashWithTrigger(allFlashTriggerWord);
}

void CCorvaneView::writeCommand() {
    RunScope scope(*this, RunCommand::WriteCommand);
    op.pause(longPause);
    if (busy) {
        at(RunStage::PreviousRun);
        busy = 0;
        return;
    }
    if (dataReady == 0) {
        at(RunStage::LoadedProgram);
        op.showMessage("Data is not ready. Please reload your file !", Icon::Warning);
        return;
    }
    writeOverControl = false;
    serialPort.close();
    at(RunStage::OpeningPort);
    const bool opened = serialPort.open(directPort, 9600) == 1;
    notePortOpen(serialPort.ports().device(directPort), opened);
    if (!opened) {
        tell(serialPort.lastFailure());
        notReady("System not Ready(A) !");
        return;
    }
    busy = 1;
    setUserMode();
    writeToFlash();
    busy = 0;
}

void CCorvaneView::bootDownload() {
    comm.setInputMode(1);
    at(RunStage::BootDownload);
    bootDownloadExchange.setUp(controlLink.over(comm.transport()));
    if (op.runExchange(bootDownloadExchange) != 1) {
        noteExchangeEnd(bootDownloadExchange);
        if (!bootDownloadExchange.programFileRead()) {
            at(RunStage::BootFile);
        }
        op.showMessage("Boot Mode Setting Failed", Icon::Warning);
        resetTarget();
    }
}

void CCorvaneView::setBootMode() {
    RunScope scope(*this, RunCommand::SetBootMode);
    if (dataReady == 0) {
        at(RunStage::LoadedProgram);
        op.showMessage("Data is not ready. Please reload your file !", Icon::Warning);
        return;
    }
    if (userMode == 1 || bootMode == 1) {
        at(RunStage::ModeCheck);
    }
    if (userMode == 1) {
        resetTarget();
        op.showMessage("Reset System(A) !", Icon::Information);
        return;
    }
    if (bootMode == 1) {
        resetTarget();
        op.showMessage("Reset System(B) !", Icon::Information);
        return;
    }
    comm.setDTREnable(true);
    comm.setRTSEnable(true);
    at(RunStage::OpeningPort);
    const bool opened = comm.setPortOpen(true) == 1;
    notePortOpen(comm.portName().empty() ? serialPort.ports().device(directPort) : comm.portName(),
                 opened);
    if (!opened) {
        tell(comm.lastFailure());
        op.showMessage("Boot mode System not Ready (A)!", Icon::Warning);
        resetTarget();
        return;
    }
    comm.setInputMode(1);
    // Both writes of this command go over the control's line, which carried the handshake.
    writeOverControl = true;
    struct WriteLinkRestore {
        bool& flag;
        ~WriteLinkRestore() { flag = false; }
    } restore{writeOverControl};

    bootHandshake = 1;
    bootSyncSeen = 0;
    at(RunStage::BootHandshake);
    if (!sendAndAwaitOnControl(0x00, "Boot mode System not Ready (A)!")) {
        return;
    }
    at(RunStage::BootSelect);
    if (!sendAndAwaitOnControl(0x55, "Boot Mode System not Ready(B) !")) {
        return;
    }
    bootMode = 1;
    bootDownloadDone = 0;
    bootHandshake = 0;
    writeInBootMode();
}

bool CCorvaneView::sendAndAwaitOnControl(std::uint8_t byte, const char* notReadyMessage) {
    if (!tell(sendWithinLineTime(controlLink.over(comm.transport()), &byte, 1, *timing.clock))) {
        op.showMessage(notReadyMessage, Icon::Warning);
        resetTarget();
        return false;
    }
    responseWait.setUp(controlLink.over(comm.transport()), controlLink, bootHandshake,
                       bootSyncSeen);
    if (op.runExchange(responseWait) != 1) {
        noteExchangeEnd(responseWait);
        op.showMessage(notReadyMessage, Icon::Warning);
        resetTarget();
        return false;
    }
    return true;
}

void CCorvaneView::writeInBootMode() {
    bootDownload();
    if (bootMode == 0) {
        return;
    }
    writeToFlash();
    if (bootMode == 0) {
        return;
    }
    resetTarget();
    setUserMode();
    selectBaud38400();
    op.pause(settingsPause);
    if (userMode == 0) {
        at(RunStage::ModeCheck);
        return;
    }
    writeToFlash();
}

} // namespace velmora
