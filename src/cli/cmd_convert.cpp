#include "cli/commands.h"
#include "cli/terminal_operator.h"
#include "control/run_hints.h"
#include "core/places.h"
#include "core/file_io.h"
#include "image/program_document.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velmora::cli {

namespace {

struct ConvertOptions {
    std::string file;
    std::string output;
    std::string workDir = ".";
    bool strict = false;
};

bool isDataRecord(const char* start, int length) {
    return length >= 2 && (start[0] == 'S' || start[0] == 's') && start[1] >= '1' &&
           start[1] <= '3';
}

// Reading ends silently at an end record or the first line that is not a
// record; when data records follow that line, say so, so a program cut short
// by a stray line is noticed. Most files end at their end record, so the
// lines up to it are only counted, a block at a time.
void warnAboutIgnoredRecords(const std::string& path, std::uint64_t stopLine) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        return;
    }
    std::vector<char> chunk(64 * 1024);
    std::uint64_t number = 1; // the line being read, from 1
    char start[2];            // its first characters
    int startLength = 0;      // how many of them have been read
    std::uint64_t firstIgnored = 0;
    std::uint64_t ignored = 0;
    auto lineEnded = [&] {
        if (number > stopLine && isDataRecord(start, startLength)) {
            ++ignored;
            if (firstIgnored == 0) {
                firstIgnored = number;
            }
        }
        ++number;
        startLength = 0;
    };
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0) {
        const char* cursor = chunk.data();
        const char* const end = cursor + got;
        while (cursor < end) {
            if (number > stopLine) {
                while (startLength < 2 && cursor < end && *cursor != '\n') {
                    start[startLength++] = *cursor++;
                }
            }
            const auto* newline = static_cast<const char*>(std::memchr(cursor, '\n', end - cursor));
            if (!newline) {
                break;
            }
            lineEnded();
            cursor = newline + 1;
        }
    }
    std::fclose(file);
    lineEnded(); // a last line without a line end
    if (ignored > 0) {
        std::fprintf(stderr,
                     "velmora-cli: warning: %s: reading stopped at line %llu; %llu data record%s "
                     "after it (first at line %llu) %s not in the image\n",
                     path.c_str(), static_cast<unsigned long long>(stopLine),
                     static_cast<unsigned long long>(ignored), ignored == 1 ? "" : "s",
                     static_cast<unsigned long long>(firstIgnored), ignored == 1 ? "is" : "are");
    }
}

int runConvert(const ConvertOptions& options) {
    Places places;
    places.workDir = options.workDir;
    TerminalOperator op;
    if (!options.output.empty() && outputIsStandardOutput(options.output)) {
        op.keepStdoutForOutput(); // the image goes there, every message to stderr
    }
    ProgramDocument document(op, places);
    document.setStrict(options.strict);
    document.setHashImage(false);
    if (!options.output.empty()) {
        document.setImageFile(options.output);
    }
    op.followRecord(&document.lastLoad());
    const int loaded = document.onOpenDocument(options.file);
    op.followRecord(nullptr);
    for (const std::string& line : runHints(document.lastLoad(), HintReader::CommandLine)) {
        op.hint(line);
    }
    if (document.image().stopLine() > 0 && document.image().textAfterStop()) {
        warnAboutIgnoredRecords(options.file, document.image().stopLine());
    }
    return loaded == 1 ? 0 : 1;
}

} // namespace

void addConvertCommand(CLI::App& app, CommandRun& chosen) {
    if (!chosen.builds("convert")) {
        return;
    }
    auto options = std::make_shared<ConvertOptions>();
    auto* command = app.add_subcommand(
        "convert",
        "Load an S-record program (.mot) and write its flash image: the bytes for address 0 "
        "upwards, 0xFF where the program has none, up to a 64-byte boundary. Only records "
        "starting below 0x20000 are used, and no byte past 0x1FFFF. Exit 0 when the image is "
        "written, 1 when the load "
        "fails, 2 on a usage error.");
    command->add_option("file", options->file, "S-record program (.mot)")
        ->required()
        ->type_name("FILE.mot");
    command
        ->add_option("-o,--output", options->output,
                     "write the image to this file instead of tmp.bin in the working folder; "
                     "- for standard output (every message then goes to stderr). A link's "
                     "file is replaced, the link kept; a FIFO or device is written as it is")
        ->type_name("FILE");
    command->add_option("--work-dir", options->workDir, "folder that receives tmp.bin")
        ->capture_default_str()
        ->type_name("DIR");
    command->add_flag("--strict", options->strict,
                      "refuse a file with damaged records (a wrong checksum, characters that are "
                      "not hex digits) instead of warning and loading them as written");
    command->callback(
        [options, &chosen] { chosen.run = [options] { return runConvert(*options); }; });
}

} // namespace velmora::cli
