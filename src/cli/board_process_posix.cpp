#include "cli/board_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

namespace velmora::cli {

namespace {
// The descriptor a board's run finds its channel on.
constexpr int channelFd = 3;

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}
} // namespace

BoardProcess::~BoardProcess() {
    closeAll();
}

void BoardProcess::closeAll() {
    for (int* fd : {&channelRead, &channelWrite, &outputRead, &outputWrite}) {
        closeFd(*fd);
    }
}

bool BoardProcess::prepare(std::string* error) {
    int events[2];
    int printed[2];
    if (::pipe2(events, O_CLOEXEC) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    if (::pipe2(printed, O_CLOEXEC) != 0) {
        *error = std::strerror(errno);
        ::close(events[0]);
        ::close(events[1]);
        return false;
    }
    channelRead = events[0];
    channelWrite = events[1];
    outputRead = printed[0];
    outputWrite = printed[1];
    return true;
}

std::string BoardProcess::channelArgument() const {
    return std::to_string(channelFd);
}

bool BoardProcess::start(const std::vector<std::string>& argv, std::string* error) {
    std::vector<char*> words;
    for (const std::string& word : argv) {
        words.push_back(const_cast<char*>(word.c_str()));
    }
    words.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        *error = std::strerror(errno);
        closeAll();
        return false;
    }
    if (child == 0) {
#if defined(__linux__)
        // A parent killed outright cannot pass a signal on: the kernel does,
        // so the run ends its board and frees its port all the same.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(128 + SIGTERM);
        }
#endif
        // A group of its own: a Ctrl+C on the terminal reaches the parent
        // alone, which passes it on once.
        ::setpgid(0, 0);
        const int nothing = ::open("/dev/null", O_RDONLY);
        if (nothing < 0 || ::dup2(nothing, STDIN_FILENO) < 0 ||
            ::dup2(outputWrite, STDOUT_FILENO) < 0 || ::dup2(outputWrite, STDERR_FILENO) < 0 ||
            ::dup2(channelWrite, channelFd) < 0) { // dup2 clears close-on-exec on the copy
            std::fprintf(stderr, "cannot start the run: %s\n", std::strerror(errno));
            ::_exit(127);
        }
        ::execv(words[0], words.data());
        std::fprintf(stderr, "cannot run %s: %s\n", words[0], std::strerror(errno));
        ::_exit(127);
    }
    pid = child;
    // Only the run holds the write ends now: its end ends the streams.
    closeFd(channelWrite);
    closeFd(outputWrite);
    return true;
}

int BoardProcess::wait() {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void BoardProcess::askToEnd(int signal) {
    if (pid > 0) {
        ::kill(pid, signal);
    }
}

struct StreamWatch::Watched {
    std::vector<pollfd> fds;      // -1 once a stream has ended
    std::vector<Arrival> sources; // the process and stream of each
    std::vector<int> wake;        // others to return for
};

StreamWatch::StreamWatch(std::vector<BoardProcess*> processes)
    : watched(std::make_unique<Watched>()) {
    for (std::size_t i = 0; i < processes.size(); ++i) {
        for (auto stream : {BoardProcess::Stream::Channel, BoardProcess::Stream::Output}) {
            const int fd = stream == BoardProcess::Stream::Channel ? processes[i]->channelRead
                                                                   : processes[i]->outputRead;
            watched->fds.push_back({fd, POLLIN, 0});
            watched->sources.push_back({i, stream, {}});
        }
    }
}

StreamWatch::~StreamWatch() = default;

std::size_t StreamWatch::add(BoardProcess* process) {
    auto& fds = watched->fds;
    std::size_t place = 0;
    while (place < fds.size() / 2 && (fds[2 * place].fd >= 0 || fds[2 * place + 1].fd >= 0)) {
        ++place;
    }
    if (place == fds.size() / 2) {
        fds.resize(fds.size() + 2);
        watched->sources.resize(fds.size());
    }
    fds[2 * place] = {process->channelRead, POLLIN, 0};
    fds[2 * place + 1] = {process->outputRead, POLLIN, 0};
    watched->sources[2 * place] = {place, BoardProcess::Stream::Channel, {}};
    watched->sources[2 * place + 1] = {place, BoardProcess::Stream::Output, {}};
    return place;
}

void StreamWatch::wakeOn(std::vector<int> fds) {
    watched->wake = std::move(fds);
}

bool StreamWatch::watching() const {
    return std::any_of(watched->fds.begin(), watched->fds.end(),
                       [](const pollfd& each) { return each.fd >= 0; });
}

std::vector<Arrival> StreamWatch::wait(std::chrono::milliseconds limit) {
    std::vector<Arrival> arrivals;
    auto& fds = watched->fds;
    const std::size_t streams = fds.size();
    for (int fd : watched->wake) {
        fds.push_back({fd, POLLIN, 0});
    }
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(limit.count()));
    fds.resize(streams);
    if (ready < 0 && errno != EINTR) {
        // The streams cannot be watched: take them as ended and wait for the runs.
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd >= 0) {
                fds[i].fd = -1;
                arrivals.push_back(watched->sources[i]);
            }
        }
        return arrivals;
    }
    if (ready <= 0) {
        return arrivals; // nothing yet, or a signal came: the caller looks at it
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        Arrival arrival = watched->sources[i];
        arrival.bytes.assign(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
        if (got <= 0) {
            fds[i].fd = -1; // ended (a pipe that fails has ended for us)
        }
        arrivals.push_back(std::move(arrival));
    }
    return arrivals;
}

std::string thisProgram() {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return length > 0 ? std::string(self, static_cast<std::size_t>(length)) : "velmora-cli";
}

int channelWriteEnd(int progressFd) {
    return progressFd;
}

} // namespace velmora::cli
