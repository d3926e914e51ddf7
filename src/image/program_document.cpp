#include "image/program_document.h"

#include "core/flags.h"

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
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) {
            return path + " was not found.";
        }
        return "Cannot open " + path + ": " + std::strerror(error) + ".";
    }
    struct stat status {};
    const bool isFolder = ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
    ::close(fd);
    if (isFolder) {
        return "Cannot open " + path + ": " + std::strerror(EISDIR) + ".";
    }
    return {};
}

} // namespace

ProgramDocument::ProgramDocument(Operator& op, Places places)
    : op(op), filePlaces(std::move(places)), imagePath(filePlaces.imageFile()), motImage(op) {}

int ProgramDocument::onNewDocument() {
    filePath.clear();
    dataReady = 0;
    return 1;
}

int ProgramDocument::onOpenDocument(const std::string& path) {
    if (std::string problem = openProblem(path); !problem.empty()) {
        op.showMessage(problem);
        op.showMessage("File Open fail");
        return 0;
    }
    const std::string fileName = path;
    if (!motImage.readFile(fileName) || !motImage.sortRecords() || !motImage.buildLines()) {
        return 0;
    }
    motImage.mergeLines();
    // A working folder named but not made yet is made; one that cannot be
    // made fails the write below.
    if (const auto folder = imagePath.parent_path(); !folder.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
    }
    if (!motImage.fillGaps() || !motImage.writeImage(imagePath.string())) {
        return 0;
    }
    dataReady = 1;
    op.showMessage("Please check file name(upper-left corner) is correct or not!");
    filePath = fileName;
    return 1;
}

std::string ProgramDocument::title() const {
    if (filePath.empty()) {
        return "Default";
    }
    return std::filesystem::path(filePath).filename().string();
}

} // namespace velmora
