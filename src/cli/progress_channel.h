#pragma once

#include "cli/run_report.h"

#include <string>
#include <string_view>
#include <vector>

namespace velmora::cli {

// How a board's run among several tells the run that started it what it is
// doing: one line per event on a pipe the child inherits, fields split by
// tabs, the free text last.
//
//   stage <the exchange's caption>
//   progress <value> <maximum> <bytes per second> <status>
//   message <failure|warning|news> <text>
//   wire <a run of bytes on the wire, as -v shows it>
//   end <programmed|failed|interrupted> <bytes sent> <bytes received> <seconds> <start> <end>
//       <checked|unchecked> <stage> <cause>
//       (unchecked: the board ended before the checksum; stage and cause as
//       the run's record has them, either may be empty)
struct ChannelEvent {
    enum class Kind { Stage, Progress, Message, Wire, End };
    Kind kind = Kind::Message;
    long long value = 0;
    long long maximum = 0;
    long long rate = 0;
    std::string text; // the caption, the status, the message or the wire line
    std::string messageKind;
    BoardRecord record; // End: the run's own record (no port, no messages)
};

// The child's end. Writes are whole lines of at most a few hundred bytes, so
// each lands in the pipe in one piece; a parent that is gone is ignored.
class ProgressWriter {
public:
    explicit ProgressWriter(int channelFd) : fd(channelFd) {}
    void stage(std::string_view caption);
    void progress(long long value, long long maximum, long long rate, std::string_view status);
    void message(std::string_view kind, std::string_view text);
    void wire(std::string_view line);
    void end(const BoardRecord& record);

private:
    void send(std::string line);
    int fd;
};

// The parent's end: whole events from bytes read in any pieces.
class ProgressReader {
public:
    std::vector<ChannelEvent> take(std::string_view bytes);

private:
    std::string pending;
};

} // namespace velmora::cli
