#include "image/file_kind.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace velmora {

namespace {

constexpr std::size_t sniffLength = 4096;

bool isHexText(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return std::isxdigit(c) != 0; });
}

bool looksLikeText(const std::string& head) {
    std::size_t control = 0;
    for (unsigned char c : head) {
        if (c == 0) {
            return false;
        }
        if (c < 0x20 && c != '\n' && c != '\r' && c != '\t' && c != '\f') {
            ++control;
        }
    }
    return control * 20 <= head.size(); // a few stray control bytes are still text
}

ProgramFileKind kindOfText(const std::string& head) {
    bool first = true;
    bool intelHex = false;
    bool s3 = false;
    bool s12 = false;
    std::size_t start = 0;
    while (start < head.size()) {
        std::size_t end = head.find('\n', start);
        std::string_view line(head.data() + start,
                              (end == std::string::npos ? head.size() : end) - start);
        start = end == std::string::npos ? head.size() : end + 1;
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        if (first) {
            intelHex = line.front() == ':' && isHexText(line.substr(1));
            first = false;
        }
        if (line.size() > 2 && (line[0] == 'S' || line[0] == 's') && isHexText(line.substr(1))) {
            s3 = s3 || line[1] == '3';
            s12 = s12 || line[1] == '1' || line[1] == '2';
        }
    }
    if (intelHex) {
        return ProgramFileKind::IntelHex;
    }
    if (s3) {
        return ProgramFileKind::SRecords32;
    }
    return s12 ? ProgramFileKind::SRecords : ProgramFileKind::Text;
}

// A word a shell takes as it is, quoted when it needs to be.
std::string shellWord(const std::string& word) {
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 ||
               std::string_view("._-+/=:,@%").find(static_cast<char>(c)) != std::string_view::npos;
    });
    if (plain) {
        return word;
    }
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// The converted file's name: the program's with .mot, never the program itself.
std::string convertedName(const std::string& path) {
    std::filesystem::path out(path);
    out.replace_extension(".mot");
    if (out == std::filesystem::path(path)) {
        out = std::filesystem::path(path).parent_path() /
              (std::filesystem::path(path).stem().string() + "-converted.mot");
    }
    return out.string();
}

} // namespace

ProgramFileKind sniffProgramFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return ProgramFileKind::Unreadable;
    }
    std::string head(sniffLength, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    if (head.empty()) {
        return in.bad() ? ProgramFileKind::Unreadable : ProgramFileKind::Empty;
    }
    const auto byte = [&](std::size_t i) {
        return i < head.size() ? static_cast<unsigned char>(head[i]) : 0x100u;
    };
    if (head.compare(0, 4,
                     "\x7f"
                     "ELF") == 0) {
        return ProgramFileKind::Elf;
    }
    // The H8/300 family's COFF magic numbers, 0x8300 to 0x8304, upper byte first.
    if (byte(0) == 0x83 && byte(1) <= 0x04) {
        return ProgramFileKind::Coff;
    }
    if (!looksLikeText(head)) {
        return ProgramFileKind::Binary;
    }
    return kindOfText(head);
}

std::string_view programFileKindText(ProgramFileKind kind) {
    switch (kind) {
    case ProgramFileKind::Unreadable:
        return "a file that cannot be read";
    case ProgramFileKind::Empty:
        return "an empty file";
    case ProgramFileKind::SRecords:
        return "S-records";
    case ProgramFileKind::SRecords32:
        return "S3 records (32-bit addresses)";
    case ProgramFileKind::IntelHex:
        return "an Intel HEX file";
    case ProgramFileKind::Elf:
        return "an ELF object file";
    case ProgramFileKind::Coff:
        return "an H8/300 COFF object file";
    case ProgramFileKind::Binary:
        return "a binary file";
    case ProgramFileKind::Text:
        return "text without S-records";
    }
    return "a file";
}

std::string conversionCommand(ProgramFileKind kind, const std::string& path) {
    const std::string in = shellWord(path);
    const std::string out = shellWord(convertedName(path));
    switch (kind) {
    case ProgramFileKind::IntelHex:
        return "objcopy -I ihex -O srec " + in + " " + out;
    case ProgramFileKind::SRecords32:
        // objcopy writes S1 or S2 records, as the highest address needs.
        return "objcopy -I srec -O srec " + in + " " + out;
    case ProgramFileKind::Binary:
        return "objcopy -I binary -O srec " + in + " " + out;
    case ProgramFileKind::Coff:
        return "h8300-hms-objcopy -O srec " + in + " " + out;
    case ProgramFileKind::Elf:
        return "h8300-elf-objcopy -O srec " + in + " " + out;
    default:
        return {};
    }
}

} // namespace velmora
