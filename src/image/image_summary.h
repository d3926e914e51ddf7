#pragma once

#include "image/mot_image.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

// One of the flash's eight erase blocks (1, 1, 1, 1, 28, 32, 32 and 32 KiB).
struct EraseBlock {
    std::uint32_t start;
    std::uint32_t length;
};
const std::vector<EraseBlock>& flashEraseBlocks();

// What a write of the loaded image will program: how large the image is, the
// addresses the program's records supply, and the erase blocks the image
// reaches (every write erases all eight; the image is written into these).
struct ImageSummary {
    std::uint32_t imageSize = 0;
    bool hasData = false;
    std::uint32_t firstAddress = 0; // the lowest address a record supplies
    std::uint32_t lastAddress = 0;  // the highest
    std::vector<int> blocksWritten; // indexes into flashEraseBlocks(), ascending
};

// The summary of the image the last successful load built.
ImageSummary summarizeImage(const MotImage& image);

// The time the line needs for one write of an image of this size at this
// rate (8 data bits, no parity, 1 stop bit): the command block, the size
// message, every block and the closing message, and the board's one-byte
// answer to each. Pauses and the board's own work are not counted.
double writeLineSeconds(std::uint32_t imageSize, int baud);

// "0x00000-0x008A3" style range and "blocks 0-4 of 8" style block list.
std::string hexRange(std::uint32_t first, std::uint32_t last);
std::string blockList(const std::vector<int>& blocks);

} // namespace velmora
