#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/types.h>
#endif

namespace velmora::cli {

// One board's run among several as a process of its own: it tells what it
// does on a channel (a pipe it inherits, named by --progress-fd), and
// whatever it prints itself (its stdout and stderr) arrives on another pipe.
// The same on Linux and Windows; one file per platform.
class BoardProcess {
public:
    enum class Stream { Channel, Output };

    BoardProcess() = default;
    ~BoardProcess();
    BoardProcess(const BoardProcess&) = delete;
    BoardProcess& operator=(const BoardProcess&) = delete;

    // Makes the two pipes; false (and why) when the system refuses.
    bool prepare(std::string* error);
    // What the run is told with --progress-fd: its channel's descriptor (a
    // handle's number on Windows).
    std::string channelArgument() const;
    // Starts argv[0] with the rest as its arguments; false (and why) when it
    // cannot be started. A program that exists but will not run ends with 127
    // and says so on its output instead.
    bool start(const std::vector<std::string>& argv, std::string* error);

    // Waits for the run to end: its exit code, 128 + the signal that ended it.
    int wait();
    // Passes a signal that asks a run to end on to it (on Windows the
    // console gives Ctrl+C to every run itself).
    void askToEnd(int signal);

private:
    friend class StreamWatch;
    void closeAll();
#ifdef _WIN32
    // HANDLEs (windows.h stays out of this header: it must follow Asio's own).
    void* channelRead = nullptr;
    void* channelWrite = nullptr;
    void* outputRead = nullptr;
    void* outputWrite = nullptr;
    void* process = nullptr;
#else
    int channelRead = -1, channelWrite = -1;
    int outputRead = -1, outputWrite = -1;
    pid_t pid = -1;
#endif
};

// Bytes of one stream of one process; none once the stream has ended (its
// run has closed it, by ending).
struct Arrival {
    std::size_t process = 0; // its place in the watched list
    BoardProcess::Stream stream = BoardProcess::Stream::Channel;
    std::string bytes;
};

// Watches both streams of every started process for what they deliver.
// (Linux: poll, no threads: a board's run is told of its parent's death by
// the death of the thread that started it, once per thread of the parent.
// Windows: a thread per stream, as a pipe there cannot be polled.)
class StreamWatch {
public:
    explicit StreamWatch(std::vector<BoardProcess*> processes);
    ~StreamWatch();
    StreamWatch(const StreamWatch&) = delete;
    StreamWatch& operator=(const StreamWatch&) = delete;
    // What has arrived, waiting at most `limit` for something.
    std::vector<Arrival> wait(std::chrono::milliseconds limit);
    // Whether a stream is still open.
    bool watching() const;
#ifndef _WIN32
    // Watches one more process, started since: its place in the list (the
    // place of one whose streams have both ended, when there is one).
    std::size_t add(BoardProcess* process);
    // wait() also returns as soon as one of these descriptors can be read
    // (it reads nothing from them).
    void wakeOn(std::vector<int> fds);
#endif

    struct Watched; // the platform's own

private:
    std::unique_ptr<Watched> watched;
};

// The program running now, to run again for each board.
std::string thisProgram();

// In a board's run: the descriptor its events are written to, from the
// value --progress-fd gave.
int channelWriteEnd(int progressFd);

} // namespace velmora::cli
