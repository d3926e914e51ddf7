// Feeds arbitrary bytes as a .mot file through the whole load (readFile,
// sortRecords, buildLines, mergeLines, fillGaps, writeImage) and compares it
// with a plain model of the load built from lists:
// - the records are those a plain split of the text into lines gives, however
//   long the lines, and reading stops where that split says;
// - the records of the window are ordered by inserting each late record, one
//   by one, before the first record not below it;
// - each record with data makes the 16-byte lines from its start's line to
//   the line of its last byte; the load fails with "Mot File Error(2) !" when
//   a line lies below the line before it in that sequence;
// - otherwise the image starts at address 0, ends at the first 64-byte
//   boundary after the last data line but never past 0x20000, and each of its
//   bytes is the byte of the last record in that order whose lines reach it
//   from its start, 0xFF where none does.
// A difference aborts, so libFuzzer keeps the input.

#include "core/operator.h"
#include "image/mot_image.h"
#include "image/reference_order.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using velmora::MotImage;
using velmora::SRecord;

class CollectingOperator : public velmora::Operator {
public:
    std::vector<std::string> messages;
    void showMessage(std::string_view text, velmora::Icon) override { messages.emplace_back(text); }
    int runExchange(velmora::Exchange&) override { return 2; }
    void pause(int) override {}
    void notify(std::string_view text, velmora::Notice) override { messages.emplace_back(text); }
};

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void require(bool holds, const char* what) {
    if (!holds) {
        broken(what);
    }
}

// A scratch folder for the input and the image, removed when the run ends.
struct Scratch {
    std::filesystem::path folder;
    std::filesystem::path input;
    std::filesystem::path image;
    Scratch() {
        // In memory where the system offers it: every image write is flushed to the disk.
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string pattern = (base / "velmora-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            broken("cannot make a scratch folder");
        }
        folder = pattern;
        input = folder / "in.mot";
        image = folder / "tmp.bin";
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

Scratch& scratch() {
    static Scratch instance;
    return instance;
}

// The records a plain split gives: lines end at LF, a CR before the LF
// belongs to the line end, a last line needs no line end; whole lines go to
// the parser.
std::vector<SRecord> splitAndParse(std::string_view text, MotImage& parser, int& stopLine) {
    std::vector<SRecord> records;
    SRecord working;
    stopLine = 0;
    int number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const bool ended = end != std::string_view::npos;
        if (!ended) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        if (ended && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        ++number;
        if (parser.parseLine(line, working) == 0) {
            stopLine = number;
            break;
        }
        if (working.type != "S0") {
            records.push_back(working);
        }
        start = end + 1;
    }
    return records;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The byte a record supplies at `index` from its start: its pair when the
// data field holds it (0x00 when the pair is not hex), else filler.
std::uint8_t recordByte(const SRecord& record, std::size_t index) {
    if (index >= static_cast<std::size_t>(record.length) || 2 * index + 1 >= record.data.size()) {
        return 0xFF;
    }
    const int high = hexDigit(record.data[2 * index]);
    const int low = hexDigit(record.data[2 * index + 1]);
    return high < 0 || low < 0 ? 0 : static_cast<std::uint8_t>(high * 16 + low);
}

std::uint32_t roundUp(std::uint32_t value, std::uint32_t step) {
    return (value + step - 1) / step * step;
}

std::vector<std::uint8_t> readBack(const std::filesystem::path& file) {
    std::vector<std::uint8_t> bytes(std::filesystem::file_size(file));
    std::ifstream in(file, std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    require(in.good() || bytes.empty(), "cannot read the image back");
    return bytes;
}

// What the model says the load ends with: its one failure message, or none
// and the image.
struct Outcome {
    std::string failure;
    std::vector<std::uint8_t> image;
};

Outcome modelLoad(const std::vector<SRecord>& records) {
    if (records.empty()) {
        return {"Mot File Error (not S19 format) !", {}};
    }
    const std::vector<SRecord> ordered = velmora::testing::insertedOneByOne(records);
    if (ordered.empty()) {
        return {"Mot File Data Range Error !", {}};
    }
    std::vector<const SRecord*> placed;
    for (const SRecord& record : ordered) {
        if (record.length > 0) {
            placed.push_back(&record);
        }
    }
    if (placed.empty()) {
        return {"Mot File Error (Execute the max range) !", {}};
    }
    bool haveLine = false;
    std::uint32_t previousLine = 0;
    std::uint32_t dataEnd = 0;
    for (const SRecord* record : placed) {
        const std::uint32_t end =
            roundUp(record->address + static_cast<std::uint32_t>(record->length), 16);
        for (std::uint32_t line = record->address / 16 * 16; line < end; line += 16) {
            if (haveLine && line < previousLine) {
                return {"Mot File Error(2) !", {}};
            }
            previousLine = line;
            haveLine = true;
        }
        dataEnd = std::max(dataEnd, end);
    }
    // Each record supplies its bytes and filler from its start to the end of
    // its last line; a later record overrides an earlier one.
    std::vector<std::uint8_t> image(roundUp(std::min<std::uint32_t>(dataEnd, 0x20000), 64), 0xFF);
    for (const SRecord* record : placed) {
        const std::uint32_t end =
            roundUp(record->address + static_cast<std::uint32_t>(record->length), 16);
        for (std::uint32_t address = record->address; address < end && address < image.size();
             ++address) {
            image[address] = recordByte(*record, address - record->address);
        }
    }
    return {"", image};
}

void checkLoad(const std::uint8_t* bytes, std::size_t size) {
    Scratch& files = scratch();
    {
        std::ofstream out(files.input, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
        require(out.good(), "cannot write the input");
    }
    CollectingOperator op;
    MotImage parser(op);
    int expectedStop = 0;
    const std::vector<SRecord> records = splitAndParse(
        std::string_view(reinterpret_cast<const char*>(bytes), size), parser, expectedStop);
    const Outcome expected = modelLoad(records);

    std::error_code ignored;
    std::filesystem::remove(files.image, ignored);
    MotImage image(op);
    require(image.readFile(files.input.string()) == 1, "readFile failed on a readable file");
    require(op.messages.empty(), "readFile showed a message");
    require(image.recordCount() == records.size(), "reader took a different number of records");
    require(image.stopLine() == static_cast<std::uint64_t>(expectedStop),
            "reader stopped at a different line");
    const bool loaded = image.sortRecords() && image.buildLines() &&
                        (image.mergeLines(), image.fillGaps()) &&
                        image.writeImage(files.image.string());
    if (!expected.failure.empty()) {
        require(!loaded, "the load succeeded where the model fails");
        require(op.messages.size() == 1 && op.messages[0] == expected.failure,
                "the load failed with another message than the model");
        return;
    }
    require(loaded, "the load failed where the model succeeds");
    require(op.messages.empty(), "a successful load showed a message");
    const std::vector<std::uint8_t> written = readBack(files.image);
    require(written.size() <= 0x20000, "the image is larger than the flash");
    require(written.size() == expected.image.size(), "the image's length differs from the model");
    require(written == expected.image, "an image byte is not the byte its records give");
    require(image.imageBytes() == written, "the file and the image held differ");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    checkLoad(data, size);
    return 0;
}
