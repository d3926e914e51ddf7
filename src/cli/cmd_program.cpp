#include "cli/commands.h"

#if defined(VELMORA_CLI_PROGRAMMING)
#include "cli/interrupts.h"
#include "cli/multi_board.h"
#include "cli/progress_channel.h"
#include "cli/run_report.h"
#include "cli/terminal_operator.h"
#include "control/corvane_view.h"
#include "core/file_io.h"
#include "core/places.h"
#include "core/timing.h"
#include "image/program_document.h"
#include "serial/ms_comm.h"
#include "serial/port_names.h"
#include "serial/serial_port.h"
#ifdef VELMORA_CLI_SIMULATED_BOARD
#include "sim/board_for_run.h"
#endif

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace velmora::cli {

namespace {

enum class Job { Flash, AllFlash, Write, Boot };

struct ProgramOptions {
    std::string file;
    bool all = false;
    std::string port = "1";
    std::string bootPort;
    std::string bootDir;
    std::string workDir = ".";
    long long passMicroseconds = 200;
    bool quiet = false;
    bool strict = false;
    std::vector<std::string> ports; // more than one: every board at once
    std::string reportPath;
    std::string logPath;
    int progressFd = -1; // one board among several: events go to the parent here
};

#ifdef VELMORA_CLI_SIMULATED_BOARD
// `--port sim`: a simulated board for the run, in the state each command expects.
std::unique_ptr<SimulatedBoard> startSimulatedBoard(Job job, Operator& op) {
    const SimulatedRun run = job == Job::Boot    ? SimulatedRun::BootMode
                             : job == Job::Write ? SimulatedRun::Write
                                                 : SimulatedRun::Flash;
    std::string error;
    auto board = startBoardFor(run, {}, &error);
    if (!board) {
        op.notify("velmora-cli: cannot start the simulated board: " + error, Notice::Failure);
    }
    return board;
}
#endif

int runProgramJob(Job job, const ProgramOptions& options) {
    catchInterrupts();
    Timing timing;
    timing.pass = std::chrono::microseconds(options.passMicroseconds);
    Places places;
    places.workDir = options.workDir;
    if (!options.bootDir.empty()) {
        places.bootDir = options.bootDir;
    }

    TerminalOperator terminal(timing, options.quiet);
    if ((!options.reportPath.empty() && outputIsStandardOutput(options.reportPath)) ||
        (!options.logPath.empty() && outputIsStandardOutput(options.logPath))) {
        terminal.keepStdoutForOutput(); // the report or the transcript goes there
    }
    std::optional<ProgressWriter> channel;
    if (options.progressFd >= 0) {
        channel.emplace(options.progressFd);
        terminal.reportTo(&*channel);
    }
    // The report's and the transcript's files are made before any board is
    // touched: a place that cannot take them refuses the run at once.
    PublishedFile reportFile;
    if (!options.reportPath.empty() && !reportFile.open(options.reportPath)) {
        terminal.notify("velmora-cli: " + reportFile.error(), Notice::Failure);
        return 2;
    }
    // A report, a transcript or a parent keeps what the run shows and what crosses the wire.
    std::optional<RunRecorder> recorder;
    if (!options.reportPath.empty() || !options.logPath.empty() || channel) {
        recorder.emplace(terminal, options.port);
        if (!options.logPath.empty() && !recorder->openTranscript(options.logPath)) {
            terminal.notify("velmora-cli: " + recorder->transcriptError(), Notice::Failure);
            return 2;
        }
    }
    Operator& op = recorder ? static_cast<Operator&>(*recorder) : terminal;
    terminal.noticesThrough(&op);

    // Ends the run: the transcript and the report published (each write
    // checked), the parent told, the exit code chosen.
    bool unchecked = false; // the board ended a transfer before its checksum
    auto finishRun = [&](bool programmed) {
        int code = programmed ? 0 : 1;
        if (const int signal = interruptSignal(); signal != 0) {
            code = 128 + signal;
        }
        if (!recorder) {
            return code;
        }
        BoardRecord record = recorder->finish(programmed && code == 0);
        record.interrupted = interruptSignal() != 0;
        record.endedBeforeChecksum = unchecked;
        if (!options.logPath.empty() && !recorder->closeTranscript()) {
            terminal.notify("velmora-cli: " + recorder->transcriptError(), Notice::Failure);
            code = code == 0 ? 1 : code;
        }
        if (reportFile.isOpen()) {
            RunReport runReport;
            runReport.command = commandLineOfThisProcess();
            runReport.imageFile = options.file;
            runReport.takeImage((places.workDir / "tmp.bin").string());
            runReport.boards.push_back(record);
            if (!runReport.write(reportFile)) {
                terminal.notify("velmora-cli: " + reportFile.error(), Notice::Failure);
                code = code == 0 ? 1 : code;
            }
        }
        if (channel) {
            channel->end(record);
        }
        return code;
    };

#ifdef VELMORA_CLI_SIMULATED_BOARD
    std::unique_ptr<SimulatedBoard> board;
#endif
    std::string device;
    if (options.port == "sim") {
#ifdef VELMORA_CLI_SIMULATED_BOARD
        board = startSimulatedBoard(job, op);
        if (!board) {
            return finishRun(false);
        }
        device = board->devicePath();
#else
        // The simulated board lives on a pseudo-terminal.
        terminal.notify("velmora-cli: --port sim is not available on Windows", Notice::Failure);
        return 2;
#endif
    } else {
        device = resolvePort(options.port);
        if (device.empty()) {
            terminal.notify("velmora-cli: --port " + options.port + " names no serial device",
                            Notice::Failure);
            return 2;
        }
    }
    // Port 1, the direct port, stands for the chosen device.
    assignPortDevice(CCorvaneView::directPort, device);

    ProgramDocument document(op, places);
    document.setStrict(options.strict);
    if (document.onOpenDocument(options.file) != 1 || terminal.interrupted()) {
        return finishRun(false);
    }

    SerialPort serialPort;
    CMSComm comm;
    comm.setPortName(options.bootPort.empty() ? device : resolvePort(options.bootPort));
    CCorvaneView view(op, serialPort, comm, places, timing);
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
    unchecked = view.uncheckedCount() > 0;
    return finishRun(view.programmedCount() > 0);
}

// Several ports: this program runs itself once per port, every run at once.
int runOnSeveralPorts(const char* name, const ProgramOptions& options) {
#ifdef _WIN32
    (void)name;
    (void)options;
    std::fputs("velmora-cli: several ports at once are not supported on Windows yet\n", stderr);
    return 2;
#else
    ProductionRun run;
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    run.program = length > 0 ? std::string(self, static_cast<std::size_t>(length)) : "velmora-cli";
    run.arguments = {name, options.file, "--pass-us", std::to_string(options.passMicroseconds)};
    if (options.all) {
        run.arguments.push_back("--all");
    }
    if (options.strict) {
        run.arguments.push_back("--strict");
    }
    if (!options.bootPort.empty()) {
        run.arguments.insert(run.arguments.end(), {"--boot-port", options.bootPort});
    }
    if (!options.bootDir.empty()) {
        run.arguments.insert(run.arguments.end(), {"--boot-dir", options.bootDir});
    }
    run.ports = options.ports;
    run.workDir = options.workDir;
    run.imageFile = options.file;
    run.reportPath = options.reportPath;
    run.logPath = options.logPath;
    run.quiet = options.quiet;
    return runOnEveryPort(run);
#endif
}

CLI::App* addJob(CLI::App& app, CliExit& exit, const char* name, const char* description, Job job) {
    auto options = std::make_shared<ProgramOptions>();
    auto* command = app.add_subcommand(name, description);
    command->add_option("file", options->file, "S-record program (.mot)")->required();
    command->add_option("--port", options->ports,
                        "port number, device path, or sim for a simulated board (default 1); "
                        "several: every board at once, each in a folder of its own in --work-dir");
    command->add_option("--report", options->reportPath,
                        "write a JSON report of the run to FILE (- for standard output)");
    command->add_option("--log", options->logPath,
                        "write a transcript of the wire to FILE (per board when several: "
                        "FILE's name with the port added)");
    command->add_option("--work-dir", options->workDir, "folder for tmp.bin and Recv.bin")
        ->capture_default_str();
    command->add_option("--pass-us", options->passMicroseconds, "length of one pause pass in us")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    command->add_flag("-q,--quiet", options->quiet, "print failures only, no progress");
    command->add_flag("--strict", options->strict,
                      "refuse a program with damaged records (a wrong checksum, characters that "
                      "are not hex digits)");
    // A run among several tells its parent what it does on this inherited pipe.
    command->add_option("--progress-fd", options->progressFd)->group("");
    if (job == Job::Flash) {
        command->add_flag("--all", options->all, "All flash: the firmware's other trigger word");
    }
    if (job == Job::Boot) {
        command->add_option("--boot-port", options->bootPort,
                            "the control line's port: it carries the handshake, the boot "
                            "program's download and both writes (PreFlash.bin at 9600, the "
                            "program at 38400), so --port is then left out (a different --port "
                            "is refused); without it --port carries everything");
        command->add_option("--boot-dir", options->bootDir, "folder of 3062f.bin and PreFlash.bin");
    }
    command->callback([options, &exit, job, name] {
        if (job == Job::Boot && !options->bootPort.empty()) {
            // The control line carries both writes: a --port beside it would never be used.
            for (const std::string& port : options->ports) {
                const std::string device = resolvePort(port);
                const std::string control = resolvePort(options->bootPort);
                if (device != control && !sameFile(device, control)) {
                    std::fprintf(stderr,
                                 "velmora-cli: boot: --port %s would not be used: with --boot-port "
                                 "the control line (%s) carries the handshake, the download and "
                                 "both writes; leave --port out\n",
                                 port.c_str(), options->bootPort.c_str());
                    exit.code = 2;
                    return;
                }
            }
        }
        if (options->ports.size() > 1) {
            exit.code = runOnSeveralPorts(name, *options);
            return;
        }
        if (options->ports.size() == 1) {
            options->port = options->ports.front();
        }
        Job chosen = job == Job::Flash && options->all ? Job::AllFlash : job;
        exit.code = runProgramJob(chosen, *options);
    });
    return command;
}

} // namespace

void addProgramCommands(CLI::App& app, CliExit& exit) {
    addJob(app, exit, "flash", "Flash: write the program through the board's firmware", Job::Flash);
    addJob(app, exit, "write",
           "Write command: write the program to a board already in its reflash mode", Job::Write);
    addJob(app, exit, "boot",
           "Flash Action Setting: program the board through the chip's boot mode", Job::Boot);
}

} // namespace velmora::cli

#else
namespace velmora::cli {
// The programming commands need the image and control libraries, which this build lacks.
void addProgramCommands(CLI::App&, CliExit&) {}
} // namespace velmora::cli
#endif
