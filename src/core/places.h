#pragma once

#include <filesystem>

namespace velmora {

// Where a run finds and leaves its files: tmp.bin and Recv.bin in the working
// folder, the boot program (3062f.bin) and PreFlash.bin in the boot files folder.
struct Places {
    std::filesystem::path workDir{"."};
    std::filesystem::path bootDir = defaultBootDir();

    std::filesystem::path imageFile() const { return workDir / "tmp.bin"; }
    std::filesystem::path recordFile() const { return workDir / "Recv.bin"; }
    std::filesystem::path bootProgramFile() const { return bootDir / "3062f.bin"; }
    std::filesystem::path preFlashFile() const { return bootDir / "PreFlash.bin"; }

    // $VELMORA_BOOT_DIR when set, else the install's share/brenlow.
    static std::filesystem::path defaultBootDir();
};

} // namespace velmora
