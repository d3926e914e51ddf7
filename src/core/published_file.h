#pragma once

#include <string>
#include <string_view>

namespace velmora {

// A file that appears under its name only once it is whole and on the disk: it
// is written to a hidden file beside its place, flushed to the disk, and then
// renamed over whatever was there. Until commit() the earlier file stays as it
// was; a write that fails leaves it untouched too. Every failure is kept with
// the system's reason.
class PublishedFile {
public:
    PublishedFile() = default;
    ~PublishedFile();
    PublishedFile(const PublishedFile&) = delete;
    PublishedFile& operator=(const PublishedFile&) = delete;

    // Creates the hidden file; false (and error()) when the place cannot take
    // a file: a missing or read-only folder, a folder in the file's place.
    bool open(const std::string& path);
    bool isOpen() const { return fd >= 0; }

    // Appends text; false once any write has failed (the first failure is kept).
    bool write(std::string_view text);

    // Flushes, puts the file on the disk and publishes it under its name.
    // With syncFolder the rename itself is made durable too; without it a
    // crash may bring back the earlier file, but always whole.
    bool commit(bool syncFolder = true);
    // Drops the hidden file; the earlier file stays as it was.
    void discard();

    const std::string& path() const { return finalPath; }
    // "cannot write report.json: No space left on device"
    const std::string& error() const { return failure; }
    // The system's own words for the first failure: "No space left on device".
    const std::string& reason() const { return systemReason; }

private:
    bool flushBuffer();
    bool fail(const std::string& what, int errorNumber);

    std::string finalPath;
    std::string hiddenPath;
    std::string buffer;
    std::string failure;
    std::string systemReason;
    int fd = -1;
};

} // namespace velmora
