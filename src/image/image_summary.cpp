#include "image/image_summary.h"

#include <cstdio>

namespace velmora {

namespace {

constexpr std::uint32_t blockSize = 128;
constexpr std::uint32_t commandBlockLength = 34;
constexpr std::uint32_t sizeMessageLength = 8;
constexpr std::uint32_t closingLength = 2;
constexpr int bitsPerByte = 10; // start bit, 8 data bits, stop bit

} // namespace

const std::vector<EraseBlock>& flashEraseBlocks() {
    static const std::vector<EraseBlock> blocks{
        {0x00000, 0x400},  {0x00400, 0x400},  {0x00800, 0x400},  {0x00C00, 0x400},
        {0x01000, 0x7000}, {0x08000, 0x8000}, {0x10000, 0x8000}, {0x18000, 0x8000}};
    return blocks;
}

ImageSummary summarizeImage(const MotImage& image) {
    ImageSummary summary;
    summary.imageSize = static_cast<std::uint32_t>(image.imageBytes().size());
    summary.hasData = image.suppliedRange(summary.firstAddress, summary.lastAddress) == 1;
    const auto& blocks = flashEraseBlocks();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i].start < summary.imageSize) {
            summary.blocksWritten.push_back(static_cast<int>(i));
        }
    }
    return summary;
}

double writeLineSeconds(std::uint32_t imageSize, int baud) {
    if (baud <= 0) {
        return 0;
    }
    const std::uint64_t blocks = (std::uint64_t{imageSize} + blockSize - 1) / blockSize;
    const std::uint64_t sent =
        commandBlockLength + sizeMessageLength + blocks * (1 + blockSize) + closingLength;
    const std::uint64_t answers = 2 + blocks + 1;
    return static_cast<double>((sent + answers) * bitsPerByte) / baud;
}

std::string hexRange(std::uint32_t first, std::uint32_t last) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%05X-0x%05X", static_cast<unsigned>(first),
                  static_cast<unsigned>(last));
    return text;
}

std::string blockList(const std::vector<int>& blocks) {
    if (blocks.empty()) {
        return "no block";
    }
    std::string text = blocks.size() == 1 ? "block " : "blocks ";
    // Consecutive blocks as a range: "0-4", else listed: "0, 5".
    for (std::size_t i = 0; i < blocks.size();) {
        std::size_t j = i;
        while (j + 1 < blocks.size() && blocks[j + 1] == blocks[j] + 1) {
            ++j;
        }
        if (i > 0) {
            text += ", ";
        }
        text += std::to_string(blocks[i]);
        if (j > i) {
            text += "-" + std::to_string(blocks[j]);
        }
        i = j + 1;
    }
    return text + " of " + std::to_string(flashEraseBlocks().size());
}

} // namespace velmora
