#pragma once

#include <string>
#include <vector>

namespace velmora::cli {

enum class Job { Flash, AllFlash, Write, Boot };

// What flash, write and boot are told on the command line.
struct ProgramOptions {
    std::string file;
    bool all = false;
    std::string port = "1";
    bool portByDefault = false; // neither --port nor VELMORA_PORT named it
    std::string bootPort;
    std::string bootDir;
    std::string workDir = ".";
    long long pauseUnitMicroseconds = 200;
    long long tickMicroseconds = 100000; // the response wait's tick
    bool quiet = false;
    bool verbose = false; // the wire's bytes on stderr as they go
    bool json = false;    // events as JSON lines on stdout
    bool strict = false;
    std::vector<std::string> ports; // more than one: every board at once
    std::string reportPath;
    std::string logPath;
    std::string dbPath;  // the history file the run is added to; empty: none
    int progressFd = -1; // one board among several: events go to the parent here
};

// One board's run: the program loaded, the command run on options.port, the
// report, transcript and parent told. The exit code: 0 programmed, 1 not, 2
// refused before the board was touched, 128 + the signal's number.
int runProgramJob(Job job, const ProgramOptions& options);

// The command's name as the history keeps it: flash, all, write, boot.
const char* jobName(Job job);

} // namespace velmora::cli
