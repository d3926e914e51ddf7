#pragma once

#include "core/operator.h"
#include "core/places.h"
#include "core/run_record.h"
#include "image/mot_image.h"

#include <filesystem>
#include <functional>
#include <string>

namespace velmora {

// The program document: the loaded program and its load sequence.
//
// The loaded program: runs the whole load of a .mot file (read, sort, cut
// into lines, join, fill the gaps, write tmp.bin) and raises dataReady when
// all of it succeeds. A load that fails leaves dataReady, the title, the path
// and tmp.bin as they were. The document is never saved.
class ProgramDocument {
public:
    ProgramDocument(Operator& op, Places places);

    // An empty document: no path, title "Default", dataReady 0. The last
    // load's image and tmp.bin are left as they are. Returns 1.
    int onNewDocument();

    // Loads the file and writes the image (making the image file's folder
    // when it is missing); 1 on success, 0 after the failing step's message.
    // Only a regular file is loaded. Damaged records (a wrong checksum,
    // characters that are not hex digits) and bytes past the flash's end
    // are told as warnings, with the first line of each.
    int onOpenDocument(const std::string& path);

    // Called once a load has succeeded, with the new title and path in place,
    // before the reminder to check the file's name: a window shows the new
    // name and what will be programmed while the reminder asks about them.
    void setLoadedHandler(std::function<void()> handler) { loaded = std::move(handler); }

    // Strict: a file with damaged records is refused ("Read File Error !",
    // after the reason) instead of loaded as written.
    void setStrict(bool refuseDamaged) { strict = refuseDamaged; }

    // Whether the load's record gets the image's SHA-256 (on by default). A
    // plain conversion, which keeps no record, leaves it off: hashing the
    // image is a third of its work.
    void setHashImage(bool hash) { hashImage = hash; }

    // "Default" for an empty document, else the loaded file's name.
    std::string title() const;
    // The loaded file's path; empty for an empty document.
    std::string path() const { return filePath; }

    // The record of the last load (or the one running): the file, the stage
    // it ended at, the cause, what it showed, the image's size and SHA-256.
    const RunRecord& lastLoad() const { return load; }

    MotImage& image() { return motImage; }
    const Places& places() const { return filePlaces; }

    // Where the load writes the image: the working folder's tmp.bin unless
    // another file is named here.
    std::filesystem::path imageFile() const { return imagePath; }
    void setImageFile(std::filesystem::path file) { imagePath = std::move(file); }

private:
    int fail(RunStage stage);

    RunRecord load;
    // Everything told goes through the keeper into the load's record.
    RecordKeeper op;
    Places filePlaces;
    std::filesystem::path imagePath;
    MotImage motImage;
    std::string filePath;
    bool strict = false;
    std::function<void()> loaded;
    bool hashImage = true;
};

} // namespace velmora
