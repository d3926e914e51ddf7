#pragma once

#include "core/run_record.h"
#include "serial/port_list.h"

#include <string>
#include <vector>

namespace velmora {

// Who reads the hints: the command line (ports named with --port, the cause
// already printed above the message) or the desktop application (ports
// chosen in the form, the cause shown with the hints).
enum class HintReader { CommandLine, Desktop };

// What the operator should know after a run's own messages: the port and
// whether it was the default, the reason, what a board that did not answer
// must be doing and where else it may be, what a write that ended midway
// left in the flash, what a file that is no program looks like and how to
// convert it. Empty for a run that succeeded. The serial ports present are
// given, so the same record always gives the same hints.
std::vector<std::string> runHints(const RunRecord& record, const std::vector<PortInfo>& ports,
                                  HintReader reader = HintReader::CommandLine);
// The same, with the serial ports present now.
std::vector<std::string> runHints(const RunRecord& record,
                                  HintReader reader = HintReader::CommandLine);

// What a run that succeeded did: "Programmed blink.mot: 2112 bytes on
// /dev/ttyUSB0 in 4.2 s." Empty for a run that did not.
std::string runSummary(const RunRecord& record);

} // namespace velmora
