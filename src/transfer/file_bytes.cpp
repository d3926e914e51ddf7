#include "transfer/file_bytes.h"

#include "core/file_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

std::optional<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& path,
                                                       std::string* problem) {
    auto failed = [&](const std::string& why) -> std::optional<std::vector<std::uint8_t>> {
        if (problem != nullptr) {
            *problem = path.string() + ": " + why;
        }
        return std::nullopt;
    };
    // Not blocking on a FIFO without a writer: it is refused below.
    const int fd = ::open(path.string().c_str(), O_RDONLY | openNonBlocking | openBytes);
    if (fd < 0) {
        return failed(std::strerror(errno));
    }
    struct stat file {};
    if (::fstat(fd, &file) != 0) {
        const int error = errno;
        ::close(fd);
        return failed(std::strerror(error));
    }
    if (!S_ISREG(file.st_mode)) {
        ::close(fd);
        return failed(S_ISDIR(file.st_mode) ? std::strerror(EISDIR) : "not a regular file");
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.st_size));
    std::size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            bytes.resize(bytes.size() + 4096); // the file may have grown
        }
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return failed(std::strerror(error));
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    bytes.resize(done);
    return bytes;
}

std::optional<std::vector<std::uint8_t>> readFileToSend(const std::filesystem::path& path,
                                                        std::string& problem, std::size_t longest) {
    auto bytes = readWholeFile(path, &problem);
    if (bytes && bytes->empty()) {
        problem = path.string() + ": the file is empty";
        return std::nullopt;
    }
    if (bytes && bytes->size() > longest) {
        problem = path.string() + ": larger than " + std::to_string(longest) + " bytes (" +
                  std::to_string(bytes->size()) + ")";
        return std::nullopt;
    }
    return bytes;
}

} // namespace velmora
