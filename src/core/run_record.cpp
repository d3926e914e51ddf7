#include "core/run_record.h"

namespace velmora {

std::vector<std::string> RunRecord::messages() const {
    std::vector<std::string> texts;
    for (const RunEntry& entry : entries) {
        if (!entry.notice) {
            texts.push_back(entry.text);
        }
    }
    return texts;
}

std::vector<std::string> RunRecord::notices() const {
    std::vector<std::string> texts;
    for (const RunEntry& entry : entries) {
        if (entry.notice) {
            texts.push_back(entry.text);
        }
    }
    return texts;
}

std::string_view commandName(RunCommand command) {
    switch (command) {
    case RunCommand::None:
        return "none";
    case RunCommand::Load:
        return "load";
    case RunCommand::Flash:
        return "flash";
    case RunCommand::AllFlash:
        return "all flash";
    case RunCommand::WriteCommand:
        return "write command";
    case RunCommand::WriteToFlash:
        return "write data to flash ROM";
    case RunCommand::SetBootMode:
        return "flash action setting";
    }
    return "none";
}

std::string_view resultName(RunResult result) {
    switch (result) {
    case RunResult::None:
        return "none";
    case RunResult::Loaded:
        return "loaded";
    case RunResult::Programmed:
        return "programmed";
    case RunResult::Failed:
        return "failed";
    case RunResult::Stopped:
        return "stopped";
    case RunResult::Interrupted:
        return "interrupted";
    }
    return "none";
}

std::string_view stageName(RunStage stage) {
    switch (stage) {
    case RunStage::None:
        return "none";
    case RunStage::OpeningFile:
        return "opening the file";
    case RunStage::ReadingFile:
        return "reading the file";
    case RunStage::FindingRecords:
        return "finding S-records";
    case RunStage::RecordRange:
        return "record range";
    case RunStage::CuttingLines:
        return "cutting into lines";
    case RunStage::FillingGaps:
        return "filling gaps";
    case RunStage::WritingImage:
        return "writing the image";
    case RunStage::PreviousRun:
        return "previous run";
    case RunStage::LoadedProgram:
        return "loaded program";
    case RunStage::ModeCheck:
        return "mode check";
    case RunStage::OpeningPort:
        return "opening the port";
    case RunStage::TriggerWord:
        return "trigger word";
    case RunStage::ReopeningPort:
        return "reopening the port";
    case RunStage::ImageFile:
        return "image file";
    case RunStage::CommandBlock:
        return "command block";
    case RunStage::SizeMessage:
        return "size message";
    case RunStage::RecordFile:
        return "record file";
    case RunStage::Block:
        return "block";
    case RunStage::ClosingMessage:
        return "closing message";
    case RunStage::BootHandshake:
        return "boot handshake";
    case RunStage::BootSelect:
        return "boot select";
    case RunStage::BootFile:
        return "boot file";
    case RunStage::BootDownload:
        return "boot download";
    case RunStage::Finished:
        return "finished";
    }
    return "none";
}

std::string stageText(const RunRecord& record) {
    if (record.stage == RunStage::Block) {
        return "block " + std::to_string(record.blockNumber) + " of " +
               std::to_string(record.blockCount);
    }
    return std::string(stageName(record.stage));
}

void RecordKeeper::showMessage(std::string_view text, Icon icon) {
    if (record != nullptr) {
        record->entries.push_back({false, icon, Notice::Failure, std::string(text)});
    }
    inner.showMessage(text, icon);
}

void RecordKeeper::notify(std::string_view text, Notice kind) {
    if (record != nullptr) {
        record->entries.push_back({true, Icon::Warning, kind, std::string(text)});
        if (kind == Notice::Failure && record->cause.empty()) {
            record->cause = std::string(text);
        }
    }
    inner.notify(text, kind);
}

} // namespace velmora
