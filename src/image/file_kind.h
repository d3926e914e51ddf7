#pragma once

#include <string>
#include <string_view>

namespace velmora {

// What a file that is offered as a program looks like, from its first bytes:
// for a load that found no S1 or S2 record, so the operator can be told what
// the file is and how to turn it into one that loads.
enum class ProgramFileKind {
    Unreadable,
    Empty,
    SRecords,   // S1 or S2 data records (loads, unless a stop line comes first)
    SRecords32, // S3 records: 32-bit addresses, which the reader does not take
    IntelHex,
    Elf,
    Coff,   // an H8/300 COFF object, as the h8300-hms toolchain writes it
    Binary, // bytes that are no text: a flat image, say
    Text,   // text of some other kind
};

ProgramFileKind sniffProgramFile(const std::string& path);

// "an Intel HEX file", "S3 records (32-bit addresses)".
std::string_view programFileKindText(ProgramFileKind kind);

// The command that turns a file of this kind into S1/S2 records next to it
// ("objcopy -I ihex -O srec blink.hex blink.mot"); empty for kinds no tool
// converts.
std::string conversionCommand(ProgramFileKind kind, const std::string& path);

} // namespace velmora
