#include "image/program_document.h"

#include "core/file_io.h"
#include "core/flags.h"
#include "core/sha256.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

// The open step: the file must open for reading. Returns an empty text when
// it does, else a message naming the file.
std::string openProblem(const std::string& path) {
    // Not blocking on open: a pipe without a writer is refused below, not waited for.
    const int fd = ::open(path.c_str(), O_RDONLY | openNonBlocking | openBytes);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) {
            return path + " was not found.";
        }
        return "Cannot open " + path + ": " + std::strerror(error) + ".";
    }
    struct stat status {};
    const bool known = ::fstat(fd, &status) == 0;
    const int error = errno;
    ::close(fd);
    if (!known) {
        return "Cannot open " + path + ": " + std::strerror(error) + ".";
    }
    if (S_ISDIR(status.st_mode)) {
        return "Cannot open " + path + ": " + std::strerror(EISDIR) + ".";
    }
    // A device or a pipe may never end (/dev/zero) or never start (a FIFO
    // without a writer); a program is a file.
    if (!S_ISREG(status.st_mode)) {
        return "Cannot open " + path + ": not a regular file.";
    }
    return {};
}

std::string plural(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// "<file>: 2 records with a wrong checksum (first at line 5), ..." or empty.
std::string damageText(const std::string& path, const RecordFaults& faults) {
    std::string text;
    auto add = [&](std::uint64_t count, std::uint64_t line, const char* what) {
        if (count == 0) {
            return;
        }
        text += text.empty() ? path + ": " : ", ";
        text += plural(count, "record", "records") + " " + what + " (first at line " +
                std::to_string(line) + ")";
    };
    add(faults.wrongChecksums, faults.firstWrongChecksumLine, "with a wrong checksum");
    add(faults.notHex, faults.firstNotHexLine, "with characters that are not hex digits");
    return text;
}

} // namespace

ProgramDocument::ProgramDocument(Operator& outer, Places places)
    : op(outer), filePlaces(std::move(places)), imagePath(filePlaces.imageFile()), motImage(op) {
    op.keepIn(&load);
}

int ProgramDocument::fail(RunStage stage) {
    load.stage = stage;
    load.result = RunResult::Failed;
    load.end = RunRecord::Clock::now();
    return 0;
}

int ProgramDocument::onNewDocument() {
    filePath.clear();
    dataReady = 0;
    return 1;
}

int ProgramDocument::onOpenDocument(const std::string& path) {
    load = RunRecord{};
    load.command = RunCommand::Load;
    load.programFile = path;
    load.start = RunRecord::Clock::now();
    if (std::string problem = openProblem(path); !problem.empty()) {
        load.cause = problem;
        op.showMessage(problem);
        op.showMessage("File Open fail");
        return fail(RunStage::OpeningFile);
    }
    const std::string fileName = path;
    if (!motImage.readFile(fileName)) {
        return fail(RunStage::ReadingFile);
    }
    if (const std::string damage = damageText(fileName, motImage.faults()); !damage.empty()) {
        if (strict) {
            op.notify(damage + "; refused", Notice::Failure);
            op.showMessage("Read File Error !");
            return fail(RunStage::ReadingFile);
        }
        op.notify("Warning: " + damage + "; loaded as written", Notice::Warning);
    }
    if (const RecordFaults& faults = motImage.faults(); faults.outsideFlash > 0) {
        op.notify("Warning: " + fileName + ": " +
                      plural(faults.outsideFlash, "record starts", "records start") +
                      " at or above 0x20000, past the end of the flash (first at line " +
                      std::to_string(faults.firstOutsideFlashLine) + "); dropped",
                  Notice::Warning);
    }
    if (!motImage.sortRecords()) {
        return fail(motImage.recordCount() == 0 ? RunStage::FindingRecords : RunStage::RecordRange);
    }
    if (!motImage.buildLines()) {
        return fail(RunStage::CuttingLines);
    }
    motImage.mergeLines();
    // A working folder named but not made yet is made; one that cannot be
    // made fails the write below.
    if (const auto folder = imagePath.parent_path(); !folder.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
    }
    if (!motImage.fillGaps()) {
        return fail(RunStage::FillingGaps);
    }
    if (const RecordFaults& faults = motImage.faults(); faults.pastFlashEnd > 0) {
        op.notify("Warning: " + fileName + ": " +
                      plural(faults.pastFlashEnd, "record runs", "records run") +
                      " past the end of the flash at 0x1FFFF (first at line " +
                      std::to_string(faults.firstPastFlashEndLine) +
                      "); the bytes past it are dropped",
                  Notice::Warning);
    }
    if (!motImage.writeImage(imagePath.string())) {
        return fail(RunStage::WritingImage);
    }
    const std::vector<std::uint8_t> built = motImage.imageBytes();
    load.imageSize = static_cast<long long>(built.size());
    if (hashImage) {
        load.imageSha256 = sha256Hex(built.data(), built.size());
    }
    load.stage = RunStage::Finished;
    load.result = RunResult::Loaded;
    load.end = RunRecord::Clock::now();
    dataReady = 1;
    // The caption names the new file before the reminder asks to check it.
    filePath = fileName;
    if (loaded) {
        loaded();
    }
    op.showMessage("Please check file name(upper-left corner) is correct or not!");
    return 1;
}

std::string ProgramDocument::title() const {
    if (filePath.empty()) {
        return "Default";
    }
    return std::filesystem::path(filePath).filename().string();
}

} // namespace velmora
