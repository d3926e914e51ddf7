#pragma once

#include "core/operator.h"
#include "core/run_record.h"
#include "core/timing.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace velmora::cli {

class JsonEvents;
class ProgressWriter;

// The CLI's operator: every message on its own line, exactly as the system
// words it (failures on stderr), a progress bar while an exchange runs on a
// terminal, and pauses as timed waits. A signal that asks the run to end
// stops the running exchange between two passes and cuts pauses short. When
// the run is one board among several, everything goes to the parent's
// channel instead of the terminal. With --json every event is also a JSON
// line on stdout, and the messages all go to stderr.
class TerminalOperator : public Operator {
public:
    explicit TerminalOperator(Timing runTiming = {}, bool quietRun = false);

    // Events go to this channel from now on, none to the terminal.
    void reportTo(ProgressWriter* channel);
    // Events also go to `events` as JSON, told as happening on `port`.
    void eventsAsJson(JsonEvents* events, std::string port);
    // Notices this operator makes itself go through `outer` (a recorder that
    // wraps it), so they are kept with the run's other messages.
    void noticesThrough(Operator* outer) { self = outer; }

    // News goes to stderr too: standard output carries the run's output.
    void keepStdoutForOutput() { newsStream = stderr; }

    // Whether a signal asked the run to end; says so, once.
    bool interrupted();

    // The record of what runs now (the load, then the command): a message
    // shown once it has succeeded is news, every other one but an
    // information a failure.
    void followRecord(const RunRecord* record) { followed = record; }
    // A line after the run's messages saying why it ended and what to do:
    // on stderr (also under -q), to the parent, as a JSON "hint" message.
    void hint(std::string_view text);
    // A success's last line, unless quiet.
    void summary(std::string_view text);

    // A run of bytes on the wire (-v), on stderr or to the parent.
    void wireLine(std::string_view line);

    void showMessage(std::string_view text, Icon icon) override;
    int runExchange(Exchange& exchange) override;
    void pause(int passes) override;
    void notify(std::string_view text, Notice kind) override;

    // Whether a message is a failure (printed on stderr) or news (stdout).
    bool isFailure(Icon icon) const;

private:
    // How the progress shows on stderr: not at all, rewritten with a carriage
    // return alone (a terminal that takes no sequences), or redrawn.
    enum class ProgressLook { None, Plain, Redrawn };

    void tell(std::string_view kind, std::string_view text);
    void drawProgress(const Exchange& exchange, double seconds, bool final);
    void printProgressLine(const std::string& line, bool final);
    void printLine(std::FILE* stream, std::string_view text);
    Timing timing;
    bool quiet;
    ProgressLook look;
    std::size_t progressWidth = 0; // what the plain progress line covers now
    bool progressLineOpen = false; // a progress line awaits its end
    bool stdoutClosed = false;     // a write failed (a closed pipe): print no more there
    bool stderrClosed = false;
    bool interruptTold = false;
    ProgressWriter* channel = nullptr;
    std::FILE* newsStream = stdout;
    JsonEvents* json = nullptr;
    std::string jsonPort;
    Operator* self = this;
    const RunRecord* followed = nullptr;
};

} // namespace velmora::cli
