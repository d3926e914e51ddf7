// The station's loop: boards arriving in a watched folder or started in
// fixture slots, each run followed as it goes, every ended run added to the
// history, the live screen or one line per change.

#include "cli/station.h"

#include "cli/board_run.h"
#include "cli/commands.h"
#include "cli/history_db.h"
#include "cli/interrupts.h"
#include "cli/output_style.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace velmora::cli {

namespace fs = std::filesystem;

namespace {

constexpr auto redrawEvery = std::chrono::milliseconds(100);
// Slots whose board has gone stay on the screen for the last few.
constexpr std::size_t goneSlotsShown = 8;

// A folder's entries as they come and go (inotify); a folder that is not
// there (yet, or any more) is waited for.
class FolderWatch {
public:
    explicit FolderWatch(std::string folder) : dir(std::move(folder)) {
        fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    ~FolderWatch() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    int descriptor() const { return fd; }
    bool watching() const { return watch >= 0; }
    std::string error() const { return lastError; }

    struct Change {
        std::string name;
        bool arrived = false;
    };

    // Starts watching once the folder is there: every entry in it then
    // arrives. False while it is not.
    bool tryToWatch(std::vector<Change>& changes) {
        if (watch >= 0) {
            return true;
        }
        watch = ::inotify_add_watch(fd, dir.c_str(),
                                    IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
        if (watch < 0) {
            if (errno != ENOENT && errno != ENOTDIR) {
                lastError = dir + ": " + std::strerror(errno);
            }
            return false;
        }
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(dir, error)) {
            changes.push_back({entry.path().filename().string(), true});
        }
        return true;
    }

    // What has changed since; a folder gone takes every entry with it.
    std::vector<Change> take() {
        std::vector<Change> changes;
        alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
        ssize_t got;
        while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
            for (char* at = buffer; at < buffer + got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                at += sizeof(inotify_event) + event->len;
                if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                    if (watch >= 0) {
                        ::inotify_rm_watch(fd, watch);
                        watch = -1;
                    }
                    changes.push_back({"", false}); // all gone
                } else if (event->len > 0) {
                    changes.push_back(
                        {event->name, (event->mask & (IN_CREATE | IN_MOVED_TO)) != 0});
                }
            }
        }
        return changes;
    }

    std::string path(const std::string& name) const { return (fs::path(dir) / name).string(); }

private:
    std::string dir;
    int fd = -1;
    int watch = -1;
    std::string lastError;
};

// A terminal's keys one by one, without echo, while the station runs.
class KeyMode {
public:
    KeyMode() {
        if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios keys = saved;
            keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            keys.c_cc[VMIN] = 1;
            keys.c_cc[VTIME] = 0;
            active = ::tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0;
        }
    }
    ~KeyMode() {
        if (active) {
            ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        }
    }
    KeyMode(const KeyMode&) = delete;
    KeyMode& operator=(const KeyMode&) = delete;

private:
    termios saved{};
    bool active = false;
};

struct Slot {
    std::string name; // the port as named: a fixture's --port, a watched entry's path
    std::string folderName;
    HistoryContext adapter;       // its USB identity, taken when the board arrived
    std::unique_ptr<Board> board; // the board in it now, or the last one
    bool present = true;          // a watched entry is there
    bool pending = false;         // a board came while the last one's run still ends
    bool busy() const { return board && board->running; }
    BoardClock::time_point left{};
};

class Station {
public:
    explicit Station(const StationOptions& given) : options(given) {}
    int run();

private:
    bool prepare();
    void arrived(const std::string& name);
    void left(const std::string& name);
    void start(Slot& slot);
    void ended(Slot& slot);
    void startIdle(const std::string& which);
    void takeInput();
    // The line that says what the station does (not on a live screen).
    void announce();
    // Asks every board's run to end on the first interrupt.
    void passOnInterrupt(int signal, bool& forwarded);
    // Watches the folder once it can be watched, taking the links already
    // there; false (after saying why) when it cannot.
    bool watchFolderWhenThere();
    // What the board processes, the folder and stdin said since the last pass.
    void takeEvents();
    void say(const Slot& slot, const std::string& line);
    void draw();
    void prune();
    std::string totals() const;
    bool anyBusy() const {
        return std::any_of(slots.begin(), slots.end(),
                           [](const std::unique_ptr<Slot>& slot) { return slot->busy(); });
    }

    const StationOptions& options;
    ProductionRun base;
    HistoryDb history;
    std::optional<JsonEvents> json;
    BoardDisplay display;
    std::optional<FolderWatch> folder;
    StreamWatch streams{{}};
    std::vector<Slot*> watched; // by their place in streams
    std::deque<std::unique_ptr<Slot>> slots;
    bool keys = false;     // a terminal's keys start the fixture slots
    bool inputOpen = true; // stdin may still say something
    std::string inputPending;
    int programmed = 0;
    int failed = 0;
    int interrupted = 0;
    bool historyFailed = false;
    std::size_t linesDrawn = 0;
    BoardClock::time_point opened = BoardClock::now();
    std::optional<BoardClock::time_point> firstStart;
};

bool Station::prepare() {
    base.program = options.program.empty() ? thisProgram() : options.program;
    const bool all = options.command == "all";
    base.arguments = {all ? "flash" : options.command, options.file, "--pause-unit-us",
                      std::to_string(options.pauseUnitMicroseconds)};
    if (all) {
        base.arguments.push_back("--all");
    }
    if (options.strict) {
        base.arguments.push_back("--strict");
    }
    if (!options.bootDir.empty()) {
        base.arguments.insert(base.arguments.end(), {"--boot-dir", options.bootDir});
    }
    base.workDir = options.workDir;
    base.imageFile = options.file;
    base.command = options.command;
    std::string refused;
    std::error_code error;
    if (!options.ports.empty()) {
        refused = sameDeviceTwice(options.ports);
    }
    if (refused.empty() && !fs::create_directories(options.workDir, error) &&
        !fs::is_directory(options.workDir, error)) {
        refused = "cannot make the folder " + options.workDir + ": " +
                  (error ? error.message() : "not a folder");
    }
    if (refused.empty() && !history.open(options.dbPath)) {
        refused = history.error();
    }
    if (!refused.empty()) {
        std::fprintf(stderr, "velmora-cli: %s\n", refused.c_str());
        return false;
    }
    if (options.json) {
        json.emplace();
    }
    display.live = !options.quiet && terminalSequencesAllowed(stderr);
    display.quiet = options.quiet;
    display.lines = options.json ? stderr : stdout;
    display.json = json ? &*json : nullptr;
    for (const std::string& port : options.ports) {
        auto slot = std::make_unique<Slot>();
        slot->name = port;
        slot->folderName = std::to_string(slots.size() + 1) + "-" + portFileName(port);
        adapterIdentity(port, slot->adapter);
        slots.push_back(std::move(slot));
    }
    keys = !options.ports.empty() && ::isatty(STDIN_FILENO) != 0;
    inputOpen = !options.ports.empty();
    if (options.ports.empty()) {
        folder.emplace(options.watchDir);
        if (folder->descriptor() < 0) {
            std::fprintf(stderr, "velmora-cli: cannot watch %s: %s\n", options.watchDir.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    return true;
}

void Station::say(const Slot& slot, const std::string& line) {
    if (json) {
        json->message(slot.name, "news", line);
    }
    if (!display.live && !display.quiet) {
        std::fprintf(display.lines, "[%s] %s\n", slot.name.c_str(), line.c_str());
        std::fflush(display.lines);
    }
}

void Station::start(Slot& slot) {
    slot.pending = false;
    if (interruptSignal() != 0) {
        return;
    }
    slot.board = std::make_unique<Board>();
    Board& board = *slot.board;
    board.port = slot.name;
    board.label = slot.name;
    board.dir = fs::path(options.workDir) / slot.folderName;
    std::error_code error;
    fs::create_directories(board.dir, error);
    firstStart = firstStart.value_or(BoardClock::now());
    say(slot, "board started");
    startBoard(base, board);
    if (!board.running) {
        ended(slot);
        return;
    }
    board.openStreams = 2;
    const std::size_t place = streams.add(&board.process);
    if (watched.size() <= place) {
        watched.resize(place + 1);
    }
    watched[place] = &slot;
}

void Station::ended(Slot& slot) {
    const Board& board = *slot.board;
    const BoardRecord record = recordOf(board);
    RunReport image;
    image.takeImage((board.dir / "tmp.bin").string());
    HistoryContext context =
        historyContextOf(board, options.command, options.file, image.imageSha256);
    context.usbVendor = slot.adapter.usbVendor;
    context.usbProduct = slot.adapter.usbProduct;
    context.usbSerial = slot.adapter.usbSerial;
    const HistoryRow row = historyRowOf(record, context);
    if (!history.add(row)) {
        std::fprintf(stderr, "velmora-cli: %s\n", history.error().c_str());
        historyFailed = true;
    }
    (record.programmed ? programmed : record.interrupted ? interrupted : failed) += 1;
    if (json) {
        json->record(record);
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", record.seconds);
    std::string line = board.resultText() + " in " + seconds;
    if (!record.programmed && !row.cause.empty()) {
        line += ": " + row.cause;
    }
    say(slot, line);
    if (slot.pending && slot.present) {
        start(slot);
    }
}

void Station::prune() {
    std::size_t gone = 0;
    for (auto each = slots.rbegin(); each != slots.rend(); ++each) {
        gone += !(*each)->present && !(*each)->busy() && !(*each)->pending ? 1 : 0;
    }
    while (gone > goneSlotsShown) {
        const auto oldest = std::find_if(slots.begin(), slots.end(), [](const auto& slot) {
            return !slot->present && !slot->busy() && !slot->pending;
        });
        slots.erase(oldest);
        --gone;
    }
}

void Station::arrived(const std::string& name) {
    const std::string path = folder->path(name);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return; // not a serial device, nor a link to one
    }
    auto found = std::find_if(slots.begin(), slots.end(),
                              [&](const auto& slot) { return slot->name == path; });
    if (found == slots.end()) {
        auto slot = std::make_unique<Slot>();
        slot->name = path;
        slot->folderName = portFileName(path);
        slots.push_back(std::move(slot));
        found = std::prev(slots.end());
    }
    Slot& slot = **found;
    slot.present = true;
    slot.adapter = {};
    adapterIdentity(path, slot.adapter);
    say(slot, "board arrived");
    if (slot.busy()) {
        slot.pending = true; // the last board's run has not ended yet
    } else {
        start(slot);
    }
}

void Station::left(const std::string& name) {
    for (auto& slot : slots) {
        if (slot->present && (name.empty() || slot->name == folder->path(name))) {
            slot->present = false;
            slot->pending = false;
            slot->left = BoardClock::now();
            say(*slot, "board gone");
        }
    }
    prune();
}

void Station::startIdle(const std::string& which) {
    for (std::size_t i = 0; i < slots.size(); ++i) {
        Slot& slot = *slots[i];
        if ((which.empty() || which == std::to_string(i + 1) || which == slot.name) &&
            !slot.busy()) {
            start(slot);
        }
    }
}

// Keys on a terminal (Enter: every idle slot, a digit: that slot), else
// lines: "start" or "start SLOT".
void Station::takeInput() {
    char buffer[256];
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) {
        if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            inputOpen = false;
        }
        return;
    }
    if (keys) {
        for (ssize_t i = 0; i < got; ++i) {
            const char key = buffer[i];
            if (key == '\n' || key == '\r') {
                startIdle("");
            } else if (key >= '1' && key <= '9') {
                startIdle(std::string(1, key));
            }
        }
        return;
    }
    inputPending.append(buffer, static_cast<std::size_t>(got));
    std::size_t end;
    while ((end = inputPending.find('\n')) != std::string::npos) {
        std::string line = inputPending.substr(0, end);
        inputPending.erase(0, end + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        if (line == "start") {
            startIdle("");
        } else if (line.rfind("start ", 0) == 0) {
            const std::string which = line.substr(6);
            if (!which.empty() &&
                std::none_of(slots.begin(), slots.end(), [&, i = 0](const auto& slot) mutable {
                    return which == std::to_string(++i) || which == slot->name;
                })) {
                std::fprintf(stderr, "velmora-cli: station: no slot %s\n", which.c_str());
            }
            startIdle(which);
        } else if (!line.empty()) {
            std::fprintf(stderr, "velmora-cli: station: '%s' is not start or start SLOT\n",
                         line.c_str());
        }
    }
}

std::string Station::totals() const {
    std::string text =
        std::to_string(programmed) + " programmed, " + std::to_string(failed) + " failed";
    if (interrupted > 0) {
        text += ", " + std::to_string(interrupted) + " interrupted";
    }
    const int done = programmed + failed;
    if (firstStart && done > 0) {
        const double hours =
            std::chrono::duration<double>(BoardClock::now() - *firstStart).count() / 3600;
        char rate[48];
        std::snprintf(rate, sizeof rate, ", %.0f boards per hour", done / std::max(hours, 1e-9));
        text += rate;
    }
    return text;
}

void Station::draw() {
    std::vector<std::string> lines;
    char text[512];
    lines.push_back("velmora-cli station: " + options.command + " " + options.file + ", history " +
                    options.dbPath);
    if (folder) {
        lines.push_back(folder->watching() ? "watching " + options.watchDir + " for boards"
                                           : "waiting for " + options.watchDir + " to appear");
    } else {
        lines.push_back("Enter starts every idle slot, 1-9 one slot; Ctrl+C ends");
    }
    std::snprintf(text, sizeof text, "%2s  %-40s  %-12s  %-26s  %s", "#", "port", "serial", "state",
                  "last board");
    lines.push_back(text);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const Slot& slot = *slots[i];
        std::string state = !slot.present ? "gone"
                            : !folder     ? "idle"
                            : slot.board  ? "done: unplug it"
                                          : "waiting";
        std::string last;
        if (slot.board) {
            const Board& board = *slot.board;
            const BoardProgress& p = board.progress;
            if (board.running) {
                state = !board.stage.empty() ? board.stage
                        : !p.state.empty()   ? p.state
                                             : "starting";
                if (p.total > 0) {
                    state = std::to_string(p.bytes * 100 / p.total) + "% " + state;
                }
            } else {
                char seconds[32];
                std::snprintf(seconds, sizeof seconds, " %.1f s", board.seconds());
                last = board.resultText() + seconds;
                if (!board.programmed() && !board.firstFailure.empty()) {
                    last += ": " + board.firstFailure;
                }
            }
            if (slot.pending) {
                state = "next board waits";
            }
        }
        std::string name = slot.name;
        if (name.size() > 40) {
            name = "..." + name.substr(name.size() - 37);
        }
        if (state.size() > 26) {
            state.resize(26);
        }
        std::snprintf(text, sizeof text, "%2zu  %-40s  %-12s  %-26s  %s", i + 1, name.c_str(),
                      slot.adapter.usbSerial.empty() ? "-" : slot.adapter.usbSerial.c_str(),
                      state.c_str(), last.c_str());
        lines.push_back(text);
    }
    lines.push_back(totals());
    std::string out;
    if (linesDrawn > 0) {
        out += "\033[" + std::to_string(linesDrawn) + "A";
    }
    for (const std::string& line : lines) {
        out += "\r\033[K" + line + "\n";
    }
    out += "\033[J";
    linesDrawn = lines.size();
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
}

void Station::announce() {
    if (!display.live && !display.quiet) {
        std::fprintf(display.lines, "velmora-cli station: %s %s, %s\n", options.command.c_str(),
                     options.file.c_str(),
                     folder ? ("watching " + options.watchDir).c_str()
                            : (std::to_string(slots.size()) + " slots").c_str());
        std::fflush(display.lines);
    }
}

void Station::passOnInterrupt(int signal, bool& forwarded) {
    if (signal == 0 || forwarded) {
        return;
    }
    for (const auto& slot : slots) {
        if (slot->busy()) {
            slot->board->process.askToEnd(signal);
        }
    }
    forwarded = true;
}

bool Station::watchFolderWhenThere() {
    std::vector<FolderWatch::Change> present;
    if (folder->tryToWatch(present)) {
        for (const auto& change : present) {
            arrived(change.name);
        }
    } else if (!folder->error().empty()) {
        std::fprintf(stderr, "velmora-cli: cannot watch %s\n", folder->error().c_str());
        return false;
    }
    return true;
}

void Station::takeEvents() {
    const auto limit = folder && !folder->watching() ? std::chrono::milliseconds(50) : redrawEvery;
    for (const Arrival& arrival : streams.wait(limit)) {
        Slot& slot = *watched[arrival.process];
        takeArrival(*slot.board, arrival, display);
        if (!slot.board->running) {
            ended(slot);
        }
    }
    if (folder && interruptSignal() == 0) {
        for (const auto& change : folder->take()) {
            change.arrived ? arrived(change.name) : left(change.name);
        }
    }
    if (inputOpen && interruptSignal() == 0) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, 0) > 0) {
            takeInput();
            if (!inputOpen) {
                std::vector<int> still;
                if (folder) {
                    still.push_back(folder->descriptor());
                }
                streams.wakeOn(still);
            }
        }
    }
}

int Station::run() {
    catchInterrupts();
    if (!prepare()) {
        return 2;
    }
    std::optional<KeyMode> keyMode;
    if (keys) {
        keyMode.emplace();
    }
    std::vector<int> wake;
    if (folder) {
        wake.push_back(folder->descriptor());
    }
    if (inputOpen) {
        wake.push_back(STDIN_FILENO);
    }
    streams.wakeOn(wake);
    announce();
    bool forwarded = false;
    auto lastDrawn = BoardClock::now() - redrawEvery;
    for (;;) {
        const int signal = interruptSignal();
        passOnInterrupt(signal, forwarded);
        if (signal != 0 && !anyBusy()) {
            break;
        }
        if (!folder && !inputOpen && !keys && !anyBusy()) {
            break; // nothing more can start
        }
        if (folder && !folder->watching() && signal == 0 && !watchFolderWhenThere()) {
            return 2;
        }
        takeEvents();
        if (display.live && BoardClock::now() - lastDrawn >= redrawEvery) {
            draw();
            lastDrawn = BoardClock::now();
        }
    }
    if (display.live) {
        draw();
    }
    std::fprintf(display.lines, "station: %s\n", totals().c_str());
    std::fflush(display.lines);
    if (const int signal = interruptSignal(); signal != 0) {
        return 128 + signal;
    }
    return failed > 0 || historyFailed ? 1 : 0;
}

} // namespace

int runStation(const StationOptions& options) {
    return Station(options).run();
}

void addStationCommand(CLI::App& app, CommandRun& chosen) {
    if (!chosen.builds("station")) {
        return;
    }
    auto options = std::make_shared<StationOptions>();
    auto* command = app.add_subcommand(
        "station", "a programming station: boards programmed as they are plugged in or started "
                   "in their slots, every run kept in the history");
    command->add_option("file", options->file, "S-record program (.mot)")
        ->required()
        ->type_name("FILE.mot");
    command
        ->add_option("--command", options->command,
                     "what each board gets: flash, all (All flash), write or boot")
        ->check(CLI::IsMember({"flash", "all", "write", "boot"}))
        ->capture_default_str();
    command
        ->add_option("-p,--port", options->ports,
                     "a fixture slot (device path, port number or rfc2217://host:port), "
                     "repeatable: Enter starts every idle slot, 1-9 one; without a terminal "
                     "a line \"start\" or \"start SLOT\" on stdin")
        ->allow_extra_args(false)
        ->type_name("PORT");
    command
        ->add_option("--watch", options->watchDir,
                     "every serial device or link that appears in DIR is a board, programmed "
                     "at once (default without --port: /dev/serial/by-id)")
        ->type_name("DIR");
    command->add_option("--db", options->dbPath, "the history file (SQLite)")
        ->capture_default_str()
        ->type_name("FILE");
    command
        ->add_option("--work-dir", options->workDir,
                     "folder of the boards' folders (tmp.bin and Recv.bin of each slot)")
        ->capture_default_str()
        ->type_name("DIR");
    command
        ->add_option("--pause-unit-us,--pass-us", options->pauseUnitMicroseconds,
                     "the unit the protocol's pauses are counted in, in microseconds")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber)
        ->type_name("US");
    command
        ->add_option("--boot-dir", options->bootDir, "boot: folder of 3062f.bin and PreFlash.bin")
        ->type_name("DIR");
    command->add_flag("--strict", options->strict, "refuse a program with damaged records");
    command->add_flag("-q,--quiet", options->quiet, "no live screen, no lines but failures");
    command->add_flag("--json", options->json,
                      "events and every board's record as JSON lines on stdout");
    command->callback([options, &chosen] {
        chosen.run = [options] {
            StationOptions given = *options;
            if (given.ports.empty() && given.watchDir.empty()) {
                given.watchDir = "/dev/serial/by-id";
            }
            if (!given.ports.empty() && !given.watchDir.empty()) {
                std::fprintf(stderr, "velmora-cli: station: --watch or --port, not both\n");
                return 2;
            }
            if (given.dbPath == "velmora-history.sqlite") {
                given.dbPath = (fs::path(given.workDir) / given.dbPath).string();
            }
            return runStation(given);
        };
    });
}

} // namespace velmora::cli
