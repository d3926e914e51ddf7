#include "cli/board_process.h"
#include "cli/commands.h"
#include "cli/multi_board.h"
#include "cli/program_run.h"
#include "core/file_io.h"
#include "serial/port_names.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace velmora::cli {

namespace {

// Several ports: this program runs itself once per port, every run at once.
int runOnSeveralPorts(const char* name, Job job, const ProgramOptions& options) {
    ProductionRun run;
    run.program = thisProgram();
    run.arguments = {name,
                     options.file,
                     "--pause-unit-us",
                     std::to_string(options.pauseUnitMicroseconds),
                     "--tick-us",
                     std::to_string(options.tickMicroseconds)};
    const std::pair<bool, const char*> flags[] = {
        {options.all, "--all"}, {options.strict, "--strict"}, {options.verbose, "--verbose"}};
    for (auto [given, flag] : flags) {
        if (given) {
            run.arguments.push_back(flag);
        }
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
    run.dbPath = options.dbPath;
    run.command = jobName(job == Job::Flash && options.all ? Job::AllFlash : job);
    run.quiet = options.quiet;
    run.json = options.json;
    run.verbose = options.verbose;
    return runOnEveryPort(run);
}

// With --boot-port the control line carries both writes: a --port naming
// another device would never be used, so it is refused.
bool portsBesideTheControlLine(const ProgramOptions& options) {
    const std::string control = resolvePort(options.bootPort);
    for (const std::string& port : options.ports) {
        const std::string device = resolvePort(port);
        if (device != control && !sameFile(device, control)) {
            std::fprintf(stderr,
                         "velmora-cli: boot: --port %s would not be used: with --boot-port the "
                         "control line (%s) carries the handshake, the download and both "
                         "writes; leave --port out\n",
                         port.c_str(), options.bootPort.c_str());
            return false;
        }
    }
    return true;
}

int runJob(Job job, const char* name, ProgramOptions options) {
    // The environment names the ports a command line leaves out.
    if (options.ports.empty()) {
        if (std::string port = environmentValue("VELMORA_PORT"); !port.empty()) {
            options.ports.push_back(port);
        }
    }
    if (options.bootPort.empty()) {
        options.bootPort = environmentValue("VELMORA_BOOT_PORT");
    }
    if (job == Job::Boot && !options.bootPort.empty() && !portsBesideTheControlLine(options)) {
        return 2;
    }
    if (options.ports.size() > 1) {
        return runOnSeveralPorts(name, job, options);
    }
    if (options.ports.size() == 1) {
        options.port = options.ports.front();
    }
    options.portByDefault = options.ports.empty();
    return runProgramJob(job == Job::Flash && options.all ? Job::AllFlash : job, options);
}

void addJob(CLI::App& app, CommandRun& chosen, const char* name, const char* description, Job job) {
    if (!chosen.builds(name)) {
        return;
    }
    auto options = std::make_shared<ProgramOptions>();
    auto* command = app.add_subcommand(name, description);
    command->add_option("file", options->file, "S-record program (.mot)")
        ->required()
        ->type_name("FILE.mot");
    command
        ->add_option("-p,--port", options->ports,
                     "port number, device path, rfc2217://host:port, or sim for a simulated "
                     "board (default: $VELMORA_PORT, else 1); several: every board at once, "
                     "each in a folder of its own in --work-dir")
        ->allow_extra_args(false)
        ->type_name("PORT");
    command->add_option("--report", options->reportPath, "write a JSON report of the run to FILE")
        ->type_name("FILE");
    command
        ->add_option("--log", options->logPath,
                     "write a transcript of the wire to FILE (per board when several: "
                     "FILE's name with the port added)")
        ->type_name("FILE");
    command
        ->add_option("--db", options->dbPath,
                     "add the run (every board's) to this history file (SQLite; see history)")
        ->type_name("FILE");
    command->add_option("--work-dir", options->workDir, "folder for tmp.bin and Recv.bin")
        ->capture_default_str()
        ->type_name("DIR");
    command
        ->add_option("--pause-unit-us,--pass-us", options->pauseUnitMicroseconds,
                     "the unit the protocol's pauses are counted in, in microseconds (the "
                     "pause after the trigger word is 3001 units: 0.6 s at 200)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber)
        ->type_name("US");
    command
        ->add_option("--tick-us", options->tickMicroseconds,
                     "the tick the wait for the board's answer counts in, in microseconds "
                     "(it gives up after 150 ticks: 15 s at 100000)")
        ->capture_default_str()
        ->check(CLI::PositiveNumber)
        ->type_name("US");
    command->add_flag("-q,--quiet", options->quiet, "print failures only, no progress");
    command->add_flag("-v,--verbose", options->verbose,
                      "show the bytes on the wire as they go, on stderr");
    command->add_flag("--json", options->json,
                      "events and the run's record as JSON lines on stdout (the messages then "
                      "go to stderr)");
    command->add_flag("--strict", options->strict,
                      "refuse a program with damaged records (a wrong checksum, characters that "
                      "are not hex digits)");
    // A run among several tells its parent what it does on this inherited pipe.
    command->add_option("--progress-fd", options->progressFd)->group("");
    if (job == Job::Flash) {
        command->add_flag("--all", options->all, "All flash: the firmware's other trigger word");
    }
    if (job == Job::Boot) {
        command
            ->add_option("--boot-port", options->bootPort,
                         "the control line's port (default: $VELMORA_BOOT_PORT): it carries the "
                         "handshake, the boot program's download and both writes (PreFlash.bin "
                         "at 9600, the program at 38400), so --port is then left out (a "
                         "different --port is refused); without it --port carries everything")
            ->type_name("PORT");
        command->add_option("--boot-dir", options->bootDir, "folder of 3062f.bin and PreFlash.bin")
            ->type_name("DIR");
    }
    command->callback([options, &chosen, job, name] {
        chosen.run = [=] { return runJob(job, name, *options); };
    });
}

} // namespace

void addProgramCommands(CLI::App& app, CommandRun& chosen) {
    addJob(app, chosen, "flash", "Flash: write the program through the board's firmware",
           Job::Flash);
    addJob(app, chosen, "write",
           "Write command: write the program to a board already in its reflash mode", Job::Write);
    addJob(app, chosen, "boot",
           "Flash Action Setting: program the board through the chip's boot mode", Job::Boot);
}

} // namespace velmora::cli
