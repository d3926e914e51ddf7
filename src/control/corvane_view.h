#pragma once

#include "control/counted_link.h"
#include "core/flags.h"
#include "core/operator.h"
#include "core/places.h"
#include "core/run_record.h"
#include "core/timing.h"
#include "serial/transport.h"
#include "transfer/boot_download.h"
#include "transfer/programming_transfer.h"
#include "transfer/response_wait.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

class SerialPort;
class CMSComm;

// The commands a menu, toolbar button or key sends to the programming control.
enum CommandId : int {
    WriteToFlashCommand = 32775,
    StartProgrammingCommand = 32776,
    SetBootModeCommand = 32786,
    SetUserModeCommand = 32787,
    FlashCommand = 32809,
    AllFlashCommand = 32812,
    WriteCommandCommand = 32815,
};

// The programming control: the flags of the programming runs and the commands
// that drive the exchanges with the target in order (Flash, All flash, Write
// command, Write Data To Flash ROM, Flash Action Setting). A port that cannot
// be opened, a write that cannot finish and a device that vanishes are named
// where they happen (the system's reason, through the operator's notices) and
// end the command at once with its own failure message.
class CCorvaneView {
public:
    // Trigger words that make the board's firmware enter its reflash mode.
    static constexpr const char* flashTriggerWord = "reflshu";
    static constexpr const char* allFlashTriggerWord = "reflsha";
    // The direct port's number.
    static constexpr int directPort = 1;

    CCorvaneView(Operator& outer, SerialPort& port, CMSComm& commControl, Places places,
                 Timing timing = {});
    CCorvaneView(const CCorvaneView&) = delete;
    CCorvaneView& operator=(const CCorvaneView&) = delete;

    // Flags of the programming runs.
    int busy = 0;
    int bootSyncSeen = 0;
    int bootHandshake = 0;
    int userMode = 0;
    int programmingPending = 0;
    int imageSize = -1;

    // Settings and shared steps.
    void setUserMode();
    void selectBaud38400();
    void resetTarget();
    static void loadBytes(ByteBuffer& buffer, const std::uint8_t* bytes, int count);
    static int readImageFile(const std::filesystem::path& path);

    // Commands.
    void writeToFlash();
    void startProgramming();
    void flash();
    void allFlash();
    void writeCommand();
    void setBootMode();
    void bootDownload();

    // Command-state rules, as a menu, toolbar or key asks them.
    bool isEnabled(int command) const;
    bool isChecked(int command) const;
    // Carries out a command unless its rule disables it; false when dropped.
    bool runCommand(int command);

    // Which link the current command's writes go over: the direct port, or the
    // communications control during the boot-mode setting.
    bool writesOverControl() const { return writeOverControl; }
    // How many writes of the loaded image ended in "Porgramming successfully !".
    int programmedCount() const { return programmed; }
    // How many transfers (PreFlash.bin's included) the board ended after the
    // last block, before the checksum was sent: programmed, but unchecked.
    int uncheckedCount() const { return unchecked; }

    // The record of the command that runs now, or of the last one: what it
    // was, where it ended and why, what it showed, what crossed the wire.
    // A command run from inside another (the write of Flash) belongs to the
    // outer command's record.
    const RunRecord& lastRun() const { return run; }
    // What the next runs' records name: the port as the operator chose it
    // (and whether that was the default), and the program file loaded.
    void setPortNamed(std::string asNamed, bool byDefault);
    void setProgramFile(std::string path) { programFile = std::move(path); }

    const Places& places() const { return filePlaces; }

private:
    friend class RunScope;
    void flashWithTrigger(const char* triggerWord);
    // Start programming with the image as the write request read it, or
    // (without one) as the transfer reads it from its file.
    void sendImage(std::optional<std::vector<std::uint8_t>> image);
    // The boot mode's handshake: one byte over the control line and the
    // board's answer; false (after the message, the target reset) without one.
    bool sendAndAwaitOnControl(std::uint8_t byte, const char* notReadyMessage);
    // In boot mode: the boot program, the write of PreFlash.bin, then the
    // write of the image at the new firmware's rate.
    void writeInBootMode();
    // The run record: where the run is now; an exchange's end that ends it.
    void at(RunStage stage) { run.stage = stage; }
    void noteExchangeEnd(const Exchange& exchange);
    void noteTransferEnd();
    void notePortOpen(const std::string& device, bool opened);
    Transport& writeLink();
    bool sendOnWriteLink(const ByteBuffer& message);
    // Names a failure with the system's reason; false, for the caller to end on.
    bool tell(const Status& status);
    // Ends a write request that found the target not ready.
    void notReady(const char* message);

    // Everything told goes through the keeper into the run's record.
    RunRecord run;
    RecordKeeper op;
    int runDepth = 0;
    std::string portNamed;
    bool portByDefault = false;
    std::string programFile;
    CountedLink directLink;
    CountedLink controlLink;
    SerialPort& serialPort;
    CMSComm& comm;
    Places filePlaces;
    Timing timing;
    ProgrammingTransfer programmingTransfer;
    ResponseWait responseWait;
    BootDownload bootDownloadExchange;
    bool writeOverControl = false;
    int programmed = 0;
    int unchecked = 0;
};

} // namespace velmora
