// Feeds arbitrary bytes as a .mot file through the whole load (readFile,
// sortRecords, buildLines, mergeLines, fillGaps, writeImage) and checks what
// must hold whatever the input:
// - the reader keeps exactly the records a plain split of the text into lines
//   gives, however long the lines, and stops where that split says;
// - the records of the window come out in the order one-by-one insertion of
//   the late records gives;
// - every line is 16 bytes; the image starts at address 0, is a multiple of
//   64 bytes and ends at the first 64-byte boundary after the last data line;
// - records whose data do not overlap always load, and every byte of the
//   image is the byte of the last record (in address order) whose lines reach
//   it from its start, 0xFF where none does.
// A broken invariant aborts, so libFuzzer keeps the input.

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

using velmora::ImageLine;
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
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velmora-fuzz-XXXXXX").string();
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

bool sameRecord(const SRecord& a, const SRecord& b) {
    return a.type == b.type && a.length == b.length && a.address == b.address && a.data == b.data &&
           a.checksum == b.checksum;
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

void checkLoad(const std::uint8_t* bytes, std::size_t size) {
    Scratch& files = scratch();
    {
        std::ofstream out(files.input, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
        require(out.good(), "cannot write the input");
    }
    CollectingOperator op;
    MotImage image(op);
    require(image.readFile(files.input.string()) == 1, "readFile failed on a readable file");
    require(op.messages.empty(), "readFile showed a message");

    int expectedStop = 0;
    MotImage parser(op);
    const std::vector<SRecord> expected = splitAndParse(
        std::string_view(reinterpret_cast<const char*>(bytes), size), parser, expectedStop);
    require(image.records.size() == expected.size(), "reader kept a different number of records");
    for (std::size_t i = 0; i < expected.size(); ++i) {
        require(sameRecord(image.records[i], expected[i]), "reader kept a different record");
    }
    require(image.stopLine() == expectedStop, "reader stopped at a different line");

    std::vector<SRecord> window;
    for (const SRecord& record : image.records) {
        if (record.address < 0x20000) {
            window.push_back(record);
        }
    }
    if (image.sortRecords() == 0) {
        require(op.messages.size() == 1, "sortRecords failed without one message");
        require(image.records.empty()
                    ? op.messages[0] == "Mot File Error (not S19 format) !"
                    : window.empty() && op.messages[0] == "Mot File Data Range Error !",
                "sortRecords failed for the wrong reason");
        return;
    }
    require(!window.empty(), "sortRecords accepted no record in the window");
    require(image.ascending.size() == window.size(), "ascending lost or gained records");
    require(
        std::is_sorted(image.ascending.begin(), image.ascending.end(),
                       [](const SRecord& a, const SRecord& b) { return a.address < b.address; }),
        "ascending is out of order");
    if (image.outOfOrder.size() <= 256) {
        const std::vector<SRecord> reference = velmora::testing::insertedOneByOne(image.records);
        for (std::size_t i = 0; i < reference.size(); ++i) {
            require(sameRecord(image.ascending[i], reference[i]),
                    "equal addresses in a different order than one-by-one insertion");
        }
    }

    // Records with data, and whether any two of them share an address.
    std::vector<const SRecord*> placed;
    for (const SRecord& record : image.ascending) {
        if (record.length > 0) {
            placed.push_back(&record);
        }
    }
    if (image.buildLines() == 0) {
        require(placed.empty() && op.messages.size() == 1 &&
                    op.messages[0] == "Mot File Error (Execute the max range) !",
                "buildLines failed with data to place");
        return;
    }
    require(!placed.empty(), "buildLines made lines of records without data");
    for (const ImageLine& line : image.lines) {
        require(line.address % 16 == 0 && line.count == 16 && line.data.size() == 32,
                "a line is not 16 aligned bytes");
    }
    bool overlapping = false;
    std::uint32_t reached = 0;
    std::uint32_t dataEnd = 0;
    for (const SRecord* record : placed) {
        const std::uint32_t end = record->address + static_cast<std::uint32_t>(record->length);
        overlapping = overlapping || record->address < reached;
        reached = std::max(reached, end);
        dataEnd = std::max(dataEnd, roundUp(end, 16));
    }

    image.mergeLines();
    if (image.fillGaps() == 0) {
        require(overlapping, "records that do not overlap failed to load");
        require(op.messages.size() == 1 && op.messages[0] == "Mot File Error(2) !",
                "fillGaps failed with the wrong message");
        return;
    }
    for (std::size_t i = 0; i < image.fullLines.size(); ++i) {
        const ImageLine& line = image.fullLines[i];
        require(line.address == 16 * i && line.count == 16 && line.data.size() == 32,
                "the image's lines do not run from 0 in steps of 16");
    }

    std::error_code ignored;
    std::filesystem::remove(files.image, ignored);
    require(image.writeImage(files.image.string()) == 1, "writeImage failed");
    require(op.messages.empty(), "a successful load showed a message");
    std::vector<std::uint8_t> written(std::filesystem::file_size(files.image));
    {
        std::ifstream in(files.image, std::ios::binary);
        in.read(reinterpret_cast<char*>(written.data()),
                static_cast<std::streamsize>(written.size()));
        require(in.good(), "cannot read the image back");
    }
    require(written.size() == roundUp(dataEnd, 64),
            "the image does not end at the 64-byte boundary after its last data line");
    require(written.size() <= 0x20100, "the image runs past the furthest reachable line");
    require(written.size() == 16 * image.fullLines.size(), "the file and the lines disagree");

    // Each record supplies its bytes and filler from its start to the end of
    // its last line; a later record overrides an earlier one.
    std::vector<std::uint8_t> model(written.size(), 0xFF);
    for (const SRecord* record : placed) {
        const std::uint32_t end =
            roundUp(record->address + static_cast<std::uint32_t>(record->length), 16);
        for (std::uint32_t address = record->address; address < end; ++address) {
            model[address] = recordByte(*record, address - record->address);
        }
    }
    require(written == model, "an image byte is not the byte its records give");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    checkLoad(data, size);
    return 0;
}
