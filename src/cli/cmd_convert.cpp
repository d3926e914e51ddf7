#include "cli/commands.h"
#include "cli/terminal_operator.h"
#include "core/places.h"
#include "image/program_document.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

namespace velmora::cli {

namespace {

struct ConvertOptions {
    std::string file;
    std::string output;
    std::string workDir = ".";
};

bool isDataRecord(const std::string& line) {
    return line.size() >= 2 && (line[0] == 'S' || line[0] == 's') && line[1] >= '1' &&
           line[1] <= '3';
}

// Reading ends silently at an end record or the first line that is not a
// record; when data records follow that line, say so, so a program cut short
// by a stray line is noticed.
void warnAboutIgnoredRecords(const std::string& path, int stopLine) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    int number = 0;
    int firstIgnored = 0;
    int ignored = 0;
    while (std::getline(in, line)) {
        if (++number <= stopLine) {
            continue;
        }
        if (isDataRecord(line)) {
            ++ignored;
            if (firstIgnored == 0) {
                firstIgnored = number;
            }
        }
    }
    if (ignored > 0) {
        std::fprintf(stderr,
                     "velmora-cli: warning: %s: reading stopped at line %d; %d data record%s "
                     "after it (first at line %d) %s not in the image\n",
                     path.c_str(), stopLine, ignored, ignored == 1 ? "" : "s", firstIgnored,
                     ignored == 1 ? "is" : "are");
    }
}

int runConvert(const ConvertOptions& options) {
    TerminalOperator op;
    Places places;
    places.workDir = options.workDir;
    ProgramDocument document(op, places);
    if (!options.output.empty()) {
        document.setImageFile(options.output);
    }
    const int loaded = document.onOpenDocument(options.file);
    if (document.image().stopLine() > 0) {
        warnAboutIgnoredRecords(options.file, document.image().stopLine());
    }
    return loaded == 1 ? 0 : 1;
}

} // namespace

void addConvertCommand(CLI::App& app, CliExit& exit) {
    auto options = std::make_shared<ConvertOptions>();
    auto* command = app.add_subcommand(
        "convert",
        "Load an S-record program (.mot) and write its flash image: the bytes for address 0 "
        "upwards, 0xFF where the program has none, up to a 64-byte boundary. Only records "
        "starting below 0x20000 are used. Exit 0 when the image is written, 1 when the load "
        "fails, 2 on a usage error.");
    command->add_option("file", options->file, "S-record program (.mot)")->required();
    command->add_option("-o,--output", options->output,
                        "write the image to this file instead of tmp.bin in the working folder");
    command->add_option("--work-dir", options->workDir, "folder that receives tmp.bin")
        ->capture_default_str();
    command->callback([options, &exit] { exit.code = runConvert(*options); });
}

} // namespace velmora::cli
