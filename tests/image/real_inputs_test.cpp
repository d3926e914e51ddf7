#include "image/program_document.h"
#include "image_test_support.h"
#include "support/recording_operator.h"
#include "support/run_command.h"

#include <gtest/gtest.h>
#include <random>

namespace velmora {
namespace {

using testing::readBytes;
using testing::RecordingOperator;
using testing::runCommand;
using testing::ScratchFolder;
using testing::shellQuoted;
using Bytes = std::vector<std::uint8_t>;

enum class Tool { Objcopy, SrecCat };

// Programs written by other S-record tools from random blobs at random
// addresses below 0x20000 load into the blob at its address, 0xFF elsewhere.
class RealInputs : public ::testing::TestWithParam<Tool> {
protected:
    ScratchFolder folder;
    std::mt19937 random{GetParam() == Tool::Objcopy ? 3062u : 1558u};

    std::uint32_t below(std::uint32_t limit) { return random() % limit; }

    std::string toolCommand(const std::string& blob, const std::string& mot,
                            std::uint32_t address) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%X", address);
        if (GetParam() == Tool::Objcopy) {
            std::string length;
            if (random() % 2) {
                length = " --srec-len=" + std::to_string(1 + below(64));
            }
            return "objcopy -I binary -O srec --change-addresses=" + std::string(hex) + length +
                   " " + shellQuoted(blob) + " " + shellQuoted(mot);
        }
        std::string blockSize;
        if (random() % 2) {
            blockSize = " -obs=" + std::to_string(1 + below(120));
        }
        return "srec_cat " + shellQuoted(blob) + " -binary -offset " + hex + " -o " +
               shellQuoted(mot) + " -motorola" + blockSize;
    }
};

TEST_P(RealInputs, ImageIsTheBlobAtItsAddress) {
    constexpr int rounds = 40;
    struct Round {
        Bytes blob;
        std::uint32_t address = 0;
        std::string motFile;
    };
    // Every program made first, by one shell: the tool's runs are the cost.
    std::vector<Round> made(rounds);
    std::string commands = "{ set -e";
    for (int round = 0; round < rounds; ++round) {
        const bool sixteenBit = round % 2 == 0;
        const std::uint32_t top = sixteenBit ? 0x10000 : 0x20000;
        const std::uint32_t size = 1 + below(round % 5 == 0 ? 0x8000 : 3000);
        const std::uint32_t address = below(top - size + 1);
        Bytes blob(size);
        for (auto& byte : blob) {
            byte = static_cast<std::uint8_t>(random());
        }
        const auto blobFile = (folder / ("blob" + std::to_string(round) + ".bin")).string();
        made[round] = {blob, address,
                       (folder / ("program" + std::to_string(round) + ".mot")).string()};
        testing::writeText(blobFile, std::string(blob.begin(), blob.end()));
        commands += "; " + toolCommand(blobFile, made[round].motFile, address);
    }
    const auto ran = runCommand(commands + "; }", folder.path());
    ASSERT_EQ(ran.exitCode, 0) << ran.err;

    for (int round = 0; round < rounds; ++round) {
        const Bytes& blob = made[round].blob;
        const std::uint32_t size = static_cast<std::uint32_t>(blob.size());
        const std::uint32_t address = made[round].address;
        const std::string& motFile = made[round].motFile;

        // Line ends as the tool wrote them, the other kind, and no final line end.
        std::string text;
        {
            auto bytes = readBytes(motFile);
            text.assign(bytes.begin(), bytes.end());
        }
        const bool crlf = text.find("\r\n") != std::string::npos;
        std::string other;
        for (char c : text) {
            if (c == '\r') {
                continue;
            }
            if (c == '\n' && !crlf) {
                other += '\r';
            }
            other += c;
        }
        if (round % 3 == 0) {
            while (!other.empty() && (other.back() == '\n' || other.back() == '\r')) {
                other.pop_back();
            }
        }
        if (round % 2) {
            testing::writeText(motFile, other);
        }

        RecordingOperator op;
        Places places{folder.path(), folder.path()};
        ProgramDocument document(op, places);
        ASSERT_EQ(document.onOpenDocument(motFile), 1) << "round " << round;
        Bytes expected((address + size + 63) / 64 * 64, 0xFF);
        std::copy(blob.begin(), blob.end(), expected.begin() + address);
        const Bytes image = readBytes(places.imageFile());
        ASSERT_EQ(image.size(), expected.size()) << "round " << round;
        ASSERT_TRUE(image == expected)
            << "round " << round << " address " << address << " size " << size;
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, RealInputs, ::testing::Values(Tool::Objcopy, Tool::SrecCat),
                         [](const auto& test) {
                             return test.param == Tool::Objcopy ? "objcopy" : "srec_cat";
                         });

} // namespace
} // namespace velmora
