#include "cli/program_run.h"

#include "cli/board_process.h"
#ifdef VELMORA_CLI_HISTORY
#include "cli/history_db.h"
#endif
#include "cli/interrupts.h"
#include "cli/json_events.h"
#include "cli/progress_channel.h"
#include "cli/run_report.h"
#include "cli/terminal_operator.h"
#include "control/corvane_view.h"
#include "control/run_hints.h"
#include "core/file_io.h"
#include "core/places.h"
#include "core/run_record.h"
#include "core/timing.h"
#include "image/program_document.h"
#include "serial/ms_comm.h"
#include "serial/port_names.h"
#include "serial/ports.h"
#include "serial/serial_port.h"
#ifdef VELMORA_CLI_SIMULATED_BOARD
#include "sim/board_for_run.h"
#endif

#include <memory>
#include <optional>

namespace velmora::cli {

namespace {

// The parts of one board's run, in the order they happen: the files it will
// publish made, the device chosen, the program loaded and the command run,
// the record published.
class ProgramRun {
public:
    explicit ProgramRun(const ProgramOptions& given);
    int run(Job job);

private:
    bool openOutputs();
    bool chooseDevice(Job job);
    bool program(Job job);
    // Tells the hints of a run that failed, or the summary of one that succeeded.
    void tellOutcome(const RunRecord& record);
    int finish(bool programmed, Job job);

    const ProgramOptions& options;
    Ports ports;
    Timing timing;
    Places places;
    TerminalOperator terminal;
    std::optional<ProgressWriter> channel;
    std::optional<JsonEvents> json;
    PublishedFile reportFile;
#ifdef VELMORA_CLI_HISTORY
    HistoryDb history;
#endif
    std::optional<RunRecorder> recorder;
    Operator* op = &terminal;
    std::string device;
    RunRecord lastRun; // the load's, then the command's
    int refusal = 0;   // 2 when the run is refused before the board is touched
#ifdef VELMORA_CLI_SIMULATED_BOARD
    std::unique_ptr<SimulatedBoard> board;
#endif
};

Timing timingOf(const ProgramOptions& options) {
    Timing timing;
    timing.pass = std::chrono::microseconds(options.pauseUnitMicroseconds);
    timing.tick = std::chrono::microseconds(options.tickMicroseconds);
    return timing;
}

ProgramRun::ProgramRun(const ProgramOptions& given)
    : options(given), timing(timingOf(given)), terminal(timing, given.quiet) {
    places.workDir = given.workDir;
    if (!given.bootDir.empty()) {
        places.bootDir = given.bootDir;
    }
    if ((!given.reportPath.empty() && outputIsStandardOutput(given.reportPath)) ||
        (!given.logPath.empty() && outputIsStandardOutput(given.logPath))) {
        terminal.keepStdoutForOutput(); // the report or the transcript goes there
    }
    if (given.progressFd >= 0) {
        channel.emplace(channelWriteEnd(given.progressFd));
        terminal.reportTo(&*channel);
    } else if (given.json) {
        json.emplace();
        terminal.eventsAsJson(&*json, given.port);
    }
}

// The report's and the transcript's files are made before any board is
// touched: a place that cannot take them refuses the run at once. A report,
// a transcript, a parent, --json or -v keeps what the run shows and what
// crosses the wire.
bool ProgramRun::openOutputs() {
    if (!options.reportPath.empty() && !reportFile.open(options.reportPath)) {
        terminal.notify("velmora-cli: " + reportFile.error(), Notice::Failure);
        return false;
    }
#ifdef VELMORA_CLI_HISTORY
    if (!options.dbPath.empty() && !history.open(options.dbPath)) {
        terminal.notify("velmora-cli: " + history.error(), Notice::Failure);
        return false;
    }
#else
    if (!options.dbPath.empty()) {
        terminal.notify("velmora-cli: --db: history files are not kept on this system",
                        Notice::Failure);
        return false;
    }
#endif
    if (options.reportPath.empty() && options.logPath.empty() && options.dbPath.empty() &&
        !channel && !json && !options.verbose) {
        return true;
    }
    recorder.emplace(terminal, options.port, ports);
    if (!options.logPath.empty() && !recorder->openTranscript(options.logPath)) {
        terminal.notify("velmora-cli: " + recorder->transcriptError(), Notice::Failure);
        return false;
    }
    if (options.verbose) {
        recorder->showWire([this](const std::string& line) { terminal.wireLine(line); });
    }
    op = &*recorder;
    terminal.noticesThrough(op);
    return true;
}

// The device of options.port; a simulated board started for `--port sim`.
bool ProgramRun::chooseDevice(Job job) {
    if (options.port == "sim") {
#ifdef VELMORA_CLI_SIMULATED_BOARD
        const SimulatedRun run = job == Job::Boot    ? SimulatedRun::BootMode
                                 : job == Job::Write ? SimulatedRun::Write
                                                     : SimulatedRun::Flash;
        std::string error;
        board = startBoardFor(run, {}, &error);
        if (!board) {
            op->notify("velmora-cli: cannot start the simulated board: " + error, Notice::Failure);
            return false;
        }
        ports.setOpener(reachSettled(*board, ports.opener()));
        device = board->devicePath();
        return true;
#else
        (void)job;
        // The simulated board lives on a pseudo-terminal.
        terminal.notify("velmora-cli: --port sim is not available on Windows", Notice::Failure);
        refusal = 2;
        return false;
#endif
    }
    device = resolvePort(options.port);
    if (device.empty()) {
        terminal.notify("velmora-cli: --port " + options.port + " names no serial device",
                        Notice::Failure);
        refusal = 2;
        return false;
    }
    return true;
}

// Loads the program and runs the command; whether the board was programmed.
bool ProgramRun::program(Job job) {
    // Port 1, the direct port, stands for the chosen device.
    ports.assign(CCorvaneView::directPort, device);
    ProgramDocument document(*op, places);
    document.setStrict(options.strict);
    terminal.followRecord(&document.lastLoad());
    const int loaded = document.onOpenDocument(options.file);
    lastRun = document.lastLoad();
    terminal.followRecord(nullptr);
    if (loaded != 1) {
        tellOutcome(lastRun);
        return false;
    }
    if (terminal.interrupted()) {
        return false;
    }
    SerialPort serialPort(ports);
    CMSComm comm(ports);
    comm.setPortName(options.bootPort.empty() ? device : ports.resolve(options.bootPort));
    CCorvaneView view(*op, serialPort, comm, places, timing);
    view.setPortNamed(options.bootPort.empty() ? options.port : options.bootPort,
                      options.portByDefault && options.bootPort.empty());
    view.setProgramFile(options.file);
    terminal.followRecord(&view.lastRun());
    switch (job) {
    case Job::Flash:
        view.flash();
        break;
    case Job::AllFlash:
        view.allFlash();
        break;
    case Job::Write:
        view.writeCommand();
        break;
    case Job::Boot:
        view.setBootMode();
        break;
    }
    serialPort.close();
    comm.setPortOpen(false);
#ifdef VELMORA_CLI_SIMULATED_BOARD
    if (board) {
        board->stop();
    }
#endif
    lastRun = view.lastRun();
    terminal.followRecord(nullptr);
    tellOutcome(lastRun);
    return lastRun.result == RunResult::Programmed;
}

void ProgramRun::tellOutcome(const RunRecord& record) {
    if (record.succeeded()) {
        if (const std::string summary = runSummary(record); !summary.empty() && !options.quiet) {
            terminal.summary(summary);
        }
        return;
    }
    for (const std::string& line : runHints(record, HintReader::CommandLine)) {
        terminal.hint(line);
    }
}

// Ends the run: the transcript and the report published (each write
// checked), the parent or the JSON lines told, the exit code chosen.
int ProgramRun::finish(bool programmed, Job job) {
    int code = programmed ? 0 : 1;
    if (const int signal = interruptSignal(); signal != 0) {
        code = 128 + signal;
    }
    if (!recorder) {
        return code;
    }
    BoardRecord record = recorder->finish(programmed && code == 0);
    record.interrupted = interruptSignal() != 0;
    record.endedBeforeChecksum = lastRun.endedBeforeChecksum;
    if (lastRun.command != RunCommand::None) {
        record.stage = stageText(lastRun);
        record.cause = lastRun.cause;
        // What crossed the wire, as the programming control counted it.
        record.bytesSent = lastRun.bytesSent;
        record.bytesReceived = lastRun.bytesReceived;
    }
    if (!options.logPath.empty() && !recorder->closeTranscript()) {
        terminal.notify("velmora-cli: " + recorder->transcriptError(), Notice::Failure);
        code = code == 0 ? 1 : code;
    }
    RunReport runReport;
    runReport.command = commandLineOfThisProcess();
    runReport.imageFile = options.file;
    runReport.takeImage((places.workDir / "tmp.bin").string());
    runReport.boards.push_back(record);
#ifdef VELMORA_CLI_HISTORY
    if (history.isOpen()) {
        HistoryContext context;
        context.station = stationName();
        context.command = jobName(job);
        context.program = options.file;
        context.imageSha256 = runReport.imageSha256;
        adapterIdentity(options.port, context);
        if (!history.add(historyRowOf(record, context))) {
            terminal.notify("velmora-cli: " + history.error(), Notice::Failure);
            code = code == 0 ? 1 : code;
        }
    }
#else
    (void)job;
#endif
    if (reportFile.isOpen()) {
        if (!runReport.write(reportFile)) {
            terminal.notify("velmora-cli: " + reportFile.error(), Notice::Failure);
            code = code == 0 ? 1 : code;
        }
    }
    if (channel) {
        channel->end(record);
    }
    if (json) {
        json->record(record);
    }
    return code;
}

int ProgramRun::run(Job job) {
    if (!openOutputs()) {
        return 2;
    }
    if (!chooseDevice(job)) {
        return refusal != 0 ? refusal : finish(false, job);
    }
    return finish(program(job), job);
}

} // namespace

const char* jobName(Job job) {
    switch (job) {
    case Job::Flash:
        return "flash";
    case Job::AllFlash:
        return "all";
    case Job::Write:
        return "write";
    case Job::Boot:
        return "boot";
    }
    return "flash";
}

int runProgramJob(Job job, const ProgramOptions& options) {
    catchInterrupts();
    return ProgramRun(options).run(job);
}

} // namespace velmora::cli
