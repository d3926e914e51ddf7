#include "control/run_hints.h"

#include "image/file_kind.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace velmora {

namespace {

constexpr long long flashSize = 128 * 1024;
// Adapters named as places the board may be, at most.
constexpr std::size_t adaptersNamed = 4;

bool isProgrammingRun(const RunRecord& record) {
    return record.command != RunCommand::None && record.command != RunCommand::Load;
}

// The stages at which the run had a port in hand, or tried to.
bool involvesPort(RunStage stage) {
    switch (stage) {
    case RunStage::OpeningPort:
    case RunStage::TriggerWord:
    case RunStage::ReopeningPort:
    case RunStage::CommandBlock:
    case RunStage::SizeMessage:
    case RunStage::Block:
    case RunStage::ClosingMessage:
    case RunStage::BootHandshake:
    case RunStage::BootSelect:
    case RunStage::BootDownload:
        return true;
    default:
        return false;
    }
}

// "/dev/ttyS0 (port 1, the default)", "/dev/ttyUSB0", "sim (/dev/pts/4)".
std::string portText(const RunRecord& record) {
    const std::string& named = record.portNamed;
    const std::string& device = record.portDevice;
    std::string text = device.empty() ? named : device;
    const bool number = !named.empty() && std::all_of(named.begin(), named.end(),
                                                      [](char c) { return c >= '0' && c <= '9'; });
    std::string aside;
    if (number) {
        aside = "port " + named;
    } else if (!named.empty() && !device.empty() && named != device) {
        aside = named;
    }
    if (record.portByDefault) {
        aside += aside.empty() ? "the default" : ", the default";
    }
    return aside.empty() ? text : text + " (" + aside + ")";
}

std::string howToName(const std::string& device, HintReader reader) {
    return reader == HintReader::CommandLine ? "--port " + device
                                             : "choose " + device + " in the port field";
}

// USB adapters and other ports that say what they are, but the one tried.
std::vector<std::string> otherAdapters(const RunRecord& record, const std::vector<PortInfo>& ports,
                                       HintReader reader) {
    std::vector<std::string> lines;
    for (const PortInfo& port : ports) {
        const bool describes = port.vendorId.has_value() || !port.description.empty();
        if (!describes || port.device == record.portDevice) {
            continue;
        }
        std::string what = port.description;
        if (!port.serialNumber.empty()) {
            what += (what.empty() ? "" : ", ") + port.serialNumber;
        }
        lines.push_back("The board may be on " + port.device +
                        (what.empty() ? "" : " (" + what + ")") + ": " +
                        howToName(port.device, reader));
        if (lines.size() == adaptersNamed) {
            break;
        }
    }
    return lines;
}

// What a board must be doing to answer the command.
std::string whatTheBoardMustDo(const RunRecord& record) {
    switch (record.command) {
    case RunCommand::SetBootMode:
        return "powered, connected to this port and started in the chip's boot mode (its mode "
               "pins set for boot mode, then reset)";
    case RunCommand::WriteCommand:
        return "powered, connected to this port and already in its firmware's reflash mode "
               "(otherwise use Flash, which sends the trigger word)";
    default:
        return "powered, connected to this port and running its own firmware, which the "
               "trigger word puts into its reflash mode";
    }
}

bool answeredNothing(const RunRecord& record) {
    return record.bytesReceived == 0 && record.cause.empty() &&
           (record.stage == RunStage::CommandBlock || record.stage == RunStage::BootHandshake);
}

std::string fileName(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return name.empty() ? path : name;
}

void loadHints(const RunRecord& record, std::vector<std::string>& hints) {
    const std::string& file = record.programFile;
    switch (record.stage) {
    case RunStage::FindingRecords: {
        const ProgramFileKind kind = sniffProgramFile(file);
        if (kind == ProgramFileKind::Empty) {
            hints.push_back(fileName(file) + " is empty.");
            break;
        }
        if (kind == ProgramFileKind::SRecords) {
            hints.push_back(fileName(file) +
                            " holds S-records, but its data records come after a line that is "
                            "not S0, S1, S2 or S9, where reading stops.");
            break;
        }
        hints.push_back(fileName(file) + " looks like " + std::string(programFileKindText(kind)) +
                        ", not S-records with S1 or S2 data records.");
        if (const std::string command = conversionCommand(kind, file); !command.empty()) {
            hints.push_back("Convert it: " + command);
        }
        break;
    }
    case RunStage::RecordRange:
    case RunStage::CuttingLines:
        hints.push_back("No data record of " + fileName(file) +
                        " lies in the flash (0x00000 to 0x1FFFF): is it linked for this board?");
        break;
    case RunStage::FillingGaps:
        hints.push_back("Records of " + fileName(file) +
                        " overlap in a way the image cannot hold: rebuild the file with one "
                        "record per address, in address order (srec_cat writes it so).");
        break;
    default:
        break;
    }
}

void stopHints(const RunRecord& record, std::vector<std::string>& hints) {
    if (record.result == RunResult::Stopped) {
        hints.push_back("Stopped by the operator.");
    }
}

void writeMidwayHints(const RunRecord& record, std::vector<std::string>& hints) {
    const bool image = record.imageSent != "PreFlash.bin";
    const std::string what = image ? "the program" : "PreFlash.bin";
    switch (record.stage) {
    case RunStage::SizeMessage:
        if (record.imageSize > flashSize && image) {
            hints.push_back("The image is " + std::to_string(record.imageSize) +
                            " bytes; the flash holds " + std::to_string(flashSize) + ".");
        }
        hints.push_back("The board took the command block: its flash may already be erased. "
                        "Repeat the run before the board is used.");
        break;
    case RunStage::Block:
        hints.push_back("The board's flash is now partly written (" + what + " ended at block " +
                        std::to_string(record.blockNumber) + " of " +
                        std::to_string(record.blockCount) +
                        "): repeat the run before the board is used.");
        break;
    case RunStage::ClosingMessage:
        hints.push_back("Every block of " + what +
                        " went out, but the board did not confirm the checksum: the flash may "
                        "hold a damaged program. Repeat the run before the board is used.");
        break;
    default:
        break;
    }
}

// The hints of a run that ended at a stage that says it all (a missing
// file, a port that would not open, the boot mode's own steps); false for
// the stages of the write, whose hints depend on what the board answered.
bool stageHints(const RunRecord& record, const std::vector<PortInfo>& ports, HintReader reader,
                std::vector<std::string>& hints) {
    switch (record.stage) {
    case RunStage::PreviousRun:
        hints.push_back("A run before this one had not ended; its mark is now cleared: give the "
                        "command again.");
        return true;
    case RunStage::LoadedProgram:
        hints.push_back(reader == HintReader::CommandLine
                            ? "No program is loaded: name a .mot file."
                            : "No program is loaded: open a .mot file first (Open..., key L).");
        return true;
    case RunStage::ModeCheck:
        hints.push_back(record.command == RunCommand::SetBootMode
                            ? "The board's mode was cleared: give Flash Action Setting again."
                            : "Write Data To Flash ROM writes to a board put in user mode or boot "
                              "mode by an earlier command: use Flash, or Flash Action Setting.");
        return true;
    case RunStage::OpeningPort:
    case RunStage::ReopeningPort:
        if (record.portByDefault) {
            hints.push_back(
                "No port was named, so the default was used: name the board's port "
                "with " +
                std::string(reader == HintReader::CommandLine ? "--port" : "the port field") + ".");
        }
        for (std::string& line : otherAdapters(record, ports, reader)) {
            hints.push_back(std::move(line));
        }
        return true;
    case RunStage::ImageFile:
        hints.push_back(record.imageSent == "PreFlash.bin"
                            ? "PreFlash.bin belongs in the boot files folder (--boot-dir, "
                              "VELMORA_BOOT_DIR)."
                            : "tmp.bin is made by loading the program: load it again.");
        return true;
    case RunStage::BootFile:
        hints.push_back("3062f.bin belongs in the boot files folder (--boot-dir, "
                        "VELMORA_BOOT_DIR).");
        return true;
    case RunStage::RecordFile:
        hints.push_back("Recv.bin is written in the working folder: it must be one this user can "
                        "write.");
        return true;
    case RunStage::BootSelect:
        hints.push_back("The chip answered the bit-rate bytes but not 0x55: reset the board in "
                        "boot mode and run again.");
        return true;
    case RunStage::BootDownload:
        if (record.cause.empty()) {
            hints.push_back("The chip's echoes of the boot program did not come back right: "
                            "check the cable and the line rate, reset the board in boot mode and "
                            "run again.");
        }
        return true;
    default:
        return false;
    }
}

// A board that answered nothing: what it must do, and the other adapters.
void silentBoardHints(const RunRecord& record, const std::vector<PortInfo>& ports,
                      HintReader reader, std::vector<std::string>& hints) {
    hints.push_back("The board did not answer on " +
                    (record.portDevice.empty() ? record.portNamed : record.portDevice) +
                    ". It must be " + whatTheBoardMustDo(record) + ".");
    if (record.portByDefault) {
        hints.push_back("No port was named, so the default was used.");
    }
    std::vector<std::string> others = otherAdapters(record, ports, reader);
    if (others.empty()) {
        hints.push_back("No other serial adapter is plugged in.");
    }
    for (std::string& line : others) {
        hints.push_back(std::move(line));
    }
}

void programmingHints(const RunRecord& record, const std::vector<PortInfo>& ports,
                      HintReader reader, std::vector<std::string>& hints) {
    if (involvesPort(record.stage) && record.result == RunResult::Failed) {
        hints.push_back("Port: " + portText(record) + ".");
    }
    if (reader == HintReader::Desktop && !record.cause.empty()) {
        hints.push_back("Reason: " + record.cause);
    }
    stopHints(record, hints);
    if (record.result == RunResult::Stopped || record.result == RunResult::Interrupted) {
        writeMidwayHints(record, hints);
        return;
    }
    if (stageHints(record, ports, reader, hints)) {
        return;
    }
    if (answeredNothing(record)) {
        silentBoardHints(record, ports, reader, hints);
        return;
    }
    if (record.cause.empty() &&
        (record.stage == RunStage::CommandBlock || record.stage == RunStage::BootHandshake)) {
        hints.push_back("The board answered something else than " +
                        std::string(record.stage == RunStage::CommandBlock
                                        ? "the command block's acknowledgement"
                                        : "the boot mode's handshake") +
                        ": is it the board this command is for, at this line rate?");
    }
    writeMidwayHints(record, hints);
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

} // namespace

std::vector<std::string> runHints(const RunRecord& record, const std::vector<PortInfo>& ports,
                                  HintReader reader) {
    std::vector<std::string> hints;
    if (record.succeeded() || !record.ended()) {
        return hints;
    }
    if (record.command == RunCommand::Load) {
        if (reader == HintReader::Desktop && !record.cause.empty()) {
            hints.push_back("Reason: " + record.cause);
        }
        loadHints(record, hints);
    } else if (isProgrammingRun(record)) {
        programmingHints(record, ports, reader, hints);
    }
    return hints;
}

std::vector<std::string> runHints(const RunRecord& record, HintReader reader) {
    // Only the hints that name other ports need the listing.
    const bool needsPorts = !record.succeeded() && isProgrammingRun(record) &&
                            (record.stage == RunStage::OpeningPort ||
                             record.stage == RunStage::ReopeningPort || answeredNothing(record));
    return runHints(record, needsPorts ? availablePorts() : std::vector<PortInfo>{}, reader);
}

std::string runSummary(const RunRecord& record) {
    if (record.result != RunResult::Programmed) {
        return {};
    }
    std::string text = "Programmed";
    if (!record.programFile.empty()) {
        text += " " + fileName(record.programFile) + ":";
    }
    if (record.imageSize >= 0) {
        text += " " + std::to_string(record.imageSize) + " bytes";
    }
    text += " on " + portText(record);
    text += " in " + secondsText(record.seconds()) + ".";
    return text;
}

} // namespace velmora
