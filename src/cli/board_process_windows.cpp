#include "cli/board_process.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fcntl.h>
#include <io.h>
#include <mutex>
#include <thread>
#include <windows.h>

namespace velmora::cli {

namespace {

// The system's words for the last failure.
std::string lastError() {
    char text[512];
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         ::GetLastError(), 0, text, sizeof text, nullptr);
    std::string words(text, length);
    while (!words.empty() &&
           (words.back() == '\n' || words.back() == '\r' || words.back() == '.')) {
        words.pop_back();
    }
    return words.empty() ? "error " + std::to_string(::GetLastError()) : words;
}

void closeHandle(HANDLE& handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
    }
    handle = nullptr;
}

// One word of a command line as the C runtime's start-up splits it again:
// quoted when it holds blanks or quotes, backslashes doubled before a quote.
std::string quoted(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) {
        return word;
    }
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

void setInherited(HANDLE handle, bool inherited) {
    ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, inherited ? HANDLE_FLAG_INHERIT : 0);
}

} // namespace

BoardProcess::~BoardProcess() {
    closeAll();
}

void BoardProcess::closeAll() {
    for (HANDLE* handle : {&channelRead, &channelWrite, &outputRead, &outputWrite, &process}) {
        closeHandle(*handle);
    }
}

bool BoardProcess::prepare(std::string* error) {
    // Not inherited yet: each run inherits its own write ends alone (start).
    if (!::CreatePipe(&channelRead, &channelWrite, nullptr, 0) ||
        !::CreatePipe(&outputRead, &outputWrite, nullptr, 0)) {
        *error = lastError();
        closeAll();
        return false;
    }
    return true;
}

std::string BoardProcess::channelArgument() const {
    return std::to_string(reinterpret_cast<std::uintptr_t>(channelWrite));
}

bool BoardProcess::start(const std::vector<std::string>& argv, std::string* error) {
    std::string commandLine;
    for (const std::string& word : argv) {
        if (!commandLine.empty()) {
            commandLine += ' ';
        }
        commandLine += quoted(word);
    }
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE nothing = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr);
    // The runs are started one after the other from one thread: the write
    // ends are inheritable only while this run is created, so no other run
    // holds them and each stream ends when its own run does.
    setInherited(channelWrite, true);
    setInherited(outputWrite, true);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = outputWrite;
    startup.hStdError = outputWrite;
    PROCESS_INFORMATION started{};
    const BOOL made = ::CreateProcessA(argv[0].c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                       0, nullptr, nullptr, &startup, &started);
    if (!made) {
        *error = "cannot run " + argv[0] + ": " + lastError();
    }
    setInherited(channelWrite, false);
    setInherited(outputWrite, false);
    closeHandle(nothing);
    if (!made) {
        closeAll();
        return false;
    }
    ::CloseHandle(started.hThread);
    process = started.hProcess;
    // Only the run holds the write ends now: its end ends the streams.
    closeHandle(channelWrite);
    closeHandle(outputWrite);
    return true;
}

int BoardProcess::wait() {
    ::WaitForSingleObject(process, INFINITE);
    DWORD code = 1;
    ::GetExitCodeProcess(process, &code);
    closeHandle(process);
    return static_cast<int>(code);
}

void BoardProcess::askToEnd(int) {
    // The runs share the console: Ctrl+C and Ctrl+Break reach every one of them.
}

struct StreamWatch::Watched {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Arrival> queue;
    int open = 0; // streams not ended yet, as the arrivals taken say
    std::vector<std::thread> readers;

    void push(Arrival arrival) {
        {
            std::lock_guard lock(mutex);
            queue.push_back(std::move(arrival));
        }
        ready.notify_one();
    }
};

namespace {
void readStream(HANDLE pipe, Arrival source, StreamWatch::Watched& watched);
}

StreamWatch::StreamWatch(std::vector<BoardProcess*> processes)
    : watched(std::make_unique<Watched>()) {
    for (std::size_t i = 0; i < processes.size(); ++i) {
        for (auto stream : {BoardProcess::Stream::Channel, BoardProcess::Stream::Output}) {
            const HANDLE pipe = stream == BoardProcess::Stream::Channel ? processes[i]->channelRead
                                                                        : processes[i]->outputRead;
            ++watched->open;
            watched->readers.emplace_back(readStream, pipe, Arrival{i, stream, {}},
                                          std::ref(*watched));
        }
    }
}

StreamWatch::~StreamWatch() {
    // Each reader ends with its stream, which ends with its run.
    for (std::thread& reader : watched->readers) {
        reader.join();
    }
}

bool StreamWatch::watching() const {
    return watched->open > 0;
}

std::vector<Arrival> StreamWatch::wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(watched->mutex);
    watched->ready.wait_for(lock, limit, [this] { return !watched->queue.empty(); });
    std::vector<Arrival> arrivals(std::make_move_iterator(watched->queue.begin()),
                                  std::make_move_iterator(watched->queue.end()));
    watched->queue.clear();
    for (const Arrival& arrival : arrivals) {
        watched->open -= arrival.bytes.empty() ? 1 : 0;
    }
    return arrivals;
}

namespace {
void readStream(HANDLE pipe, Arrival source, StreamWatch::Watched& watched) {
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr)) {
            got = 0; // ERROR_BROKEN_PIPE: the run has ended
        } else if (got == 0) {
            continue; // an empty write: not an end
        }
        Arrival arrival = source;
        arrival.bytes.assign(buffer, got);
        watched.push(std::move(arrival));
        if (got == 0) {
            return;
        }
    }
}
} // namespace

std::string thisProgram() {
    char self[MAX_PATH * 4];
    const DWORD length = ::GetModuleFileNameA(nullptr, self, sizeof self);
    return length > 0 && length < sizeof self ? std::string(self, length) : "velmora-cli.exe";
}

int channelWriteEnd(int progressFd) {
    // --progress-fd names the inherited pipe's handle.
    const auto handle = static_cast<std::intptr_t>(progressFd);
    return ::_open_osfhandle(handle, _O_WRONLY | _O_BINARY);
}

} // namespace velmora::cli
