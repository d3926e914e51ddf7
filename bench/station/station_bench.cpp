// A programming station against one board alone, through velmora-cli station
// and velmora-sim links that appear in the watched folder:
//  1. sixteen paced boards (every byte at the line rate) appearing within a
//     second, against one board alone in the same run: each board's time
//     from its appearance until the station says it is programmed, the worst
//     of the sixteen over the one alone (goal: at most 1.05), and the history
//     holds a row for each; also the span from the first appearance to the
//     last board done, and the CPU time the station, its runs and the
//     simulated boards took per board;
//  2. 500 unpaced boards, ten links at a time, each link vanishing once its
//     board is done: the station's resident memory and open descriptors
//     with no board in progress after the first 50 boards and after all of
//     them (goal: no growth), and their means while boards run.
//
//   station_bench [BOARDS] [MANY]     defaults 16 and 500

#include "support/srec_text.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sqlite3.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

pid_t spawn(std::vector<std::string> words, const fs::path& out) {
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const std::string outPath = out.empty() ? "/dev/null" : out.string();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        const int into = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(into, STDOUT_FILENO);
        dup2(into, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

pid_t startBoard(const fs::path& link, bool paced) {
    std::vector<std::string> words{VELMORA_SIM, "--link", link.string()};
    if (paced) {
        words.push_back("--pace");
    }
    return spawn(words, {});
}

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Ends a process; the CPU seconds it and the processes it waited for took.
double stop(pid_t pid, int signal = SIGTERM) {
    kill(pid, signal);
    rusage usage{};
    if (wait4(pid, nullptr, 0, &usage) != pid) {
        return 0;
    }
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The station's lines as it writes them, each read once: the bench must not
// take the CPU the boards need by reading the whole output again and again.
class StationLines {
public:
    explicit StationLines(fs::path file) : file(std::move(file)) {}

    // The lines completed since the last call.
    std::vector<std::string> take() {
        std::ifstream in(file, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset));
        std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        offset += got.size();
        partial += got;
        std::vector<std::string> lines;
        for (std::size_t end; (end = partial.find('\n')) != std::string::npos;) {
            lines.push_back(partial.substr(0, end));
            partial.erase(0, end + 1);
        }
        return lines;
    }

private:
    fs::path file;
    std::size_t offset = 0;
    std::string partial;
};

// What a line of the station says of the board on the link it begins with.
enum class Said { Other, Programmed, Failed, Gone };

Said whatSaid(const std::string& line, const std::string& start) {
    if (line.rfind(start, 0) != 0) {
        return Said::Other;
    }
    const std::string rest = line.substr(start.size());
    return rest.rfind("programmed in", 0) == 0 ? Said::Programmed
           : rest.rfind("FAILED in", 0) == 0   ? Said::Failed
           : rest == "board gone"              ? Said::Gone
                                               : Said::Other;
}

long long rows(const fs::path& db) {
    sqlite3* raw = nullptr;
    long long n = -1;
    if (sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* query = nullptr;
        sqlite3_prepare_v2(raw, "SELECT count(*) FROM runs", -1, &query, nullptr);
        if (sqlite3_step(query) == SQLITE_ROW) {
            n = sqlite3_column_int64(query, 0);
        }
        sqlite3_finalize(query);
    }
    sqlite3_close(raw);
    return n;
}

long long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stoll(line.substr(6));
        }
    }
    return -1;
}

long long openFiles(pid_t pid) {
    std::error_code error;
    long long n = 0;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        ++n;
    }
    return n;
}

pid_t startStation(const fs::path& dir, const std::string& name, const std::string& passUs) {
    fs::create_directories(dir / name);
    return spawn({VELMORA_CLI, "station", (dir / "prog.mot").string(), "--watch",
                  (dir / name).string(), "--db", (dir / (name + ".sqlite")).string(), "--work-dir",
                  (dir / (name + "-work")).string(), "--pass-us", passUs},
                 dir / (name + ".out"));
}

double mean(const std::vector<long long>& values, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) {
        sum += static_cast<double>(values[i]);
    }
    return sum / static_cast<double>(to - from);
}

double selfCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// How the station's lines about the board on `link` begin.
std::string lineStart(const fs::path& link) {
    std::string start = "[";
    start += link.string();
    return start += "] ";
}

double secondsSince(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// Paced boards appearing one after the other within `spread` in a station's
// watched folder, followed until each is done.
struct PacedRun {
    std::vector<double> seconds; // each board's, from its appearance
    double span = 0;             // the first appearance to the last board done
    double stationCpu = 0;       // the station and the runs it started
    double boardsCpu = 0;
    long long rows = 0;
    int programmed = 0;
    bool ended = false; // every board done before the limit
    double worst() const { return *std::max_element(seconds.begin(), seconds.end()); }
};

PacedRun pacedBoards(const fs::path& dir, const std::string& name, int boards,
                     std::chrono::milliseconds spread) {
    PacedRun run;
    const pid_t station = startStation(dir, name, "200");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<pid_t> sims;
    std::vector<Clock::time_point> plugged;
    std::vector<std::string> said;
    for (int i = 0; i < boards; ++i) {
        const fs::path link = dir / name / ("board" + std::to_string(i));
        said.push_back(lineStart(link));
        plugged.push_back(Clock::now());
        sims.push_back(startBoard(link, true));
        if (i + 1 < boards) {
            std::this_thread::sleep_for(spread / (boards - 1));
        }
    }
    run.seconds.assign(boards, 0);
    std::vector<bool> done(boards, false);
    const auto until = Clock::now() + std::chrono::seconds(300);
    int left = boards;
    Clock::time_point last{};
    StationLines lines(dir / (name + ".out"));
    while (left > 0 && Clock::now() < until) {
        const auto now = Clock::now();
        for (const std::string& line : lines.take()) {
            for (int i = 0; i < boards; ++i) {
                const Said what = whatSaid(line, said[i]);
                if (!done[i] && (what == Said::Programmed || what == Said::Failed)) {
                    done[i] = true;
                    run.seconds[i] = secondsSince(plugged[i], now);
                    run.programmed += what == Said::Programmed ? 1 : 0;
                    last = now;
                    --left;
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.ended = left == 0;
    run.span = secondsSince(plugged.front(), last);
    for (pid_t sim : sims) {
        run.boardsCpu += stop(sim);
    }
    run.stationCpu = stop(station, SIGINT);
    run.rows = rows(dir / (name + ".sqlite"));
    return run;
}

} // namespace

int main(int argc, char** argv) {
    const int boards = argc > 1 ? std::atoi(argv[1]) : 16;
    const int many = argc > 2 ? std::atoi(argv[2]) : 500;
    const fs::path dir =
        fs::temp_directory_path() / ("velmora-station-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "prog.mot", std::ios::binary) << velmora::testing::programText(
        8 * 1024, [](std::uint32_t address) { return static_cast<std::uint8_t>(address * 13); });
    bool ok = true;

    // 1. One board alone, then sixteen within a second, paced, one station each.
    const PacedRun alone = pacedBoards(dir, "alone", 1, {});
    const PacedRun together = pacedBoards(dir, "together", boards, std::chrono::milliseconds(900));
    ok &= alone.ended && together.ended && alone.programmed == 1 && together.programmed == boards;
    if (ok) {
        std::printf("8 KiB, paced boards: 1 board %.2f s; %d boards appearing within a second: "
                    "each from its appearance %.2f to %.2f s, ratio of the worst %.3f (goal <= "
                    "1.05), the first appearance to the last done %.2f s (%.3f); history rows "
                    "%lld (goal %d)\n",
                    alone.worst(), boards,
                    *std::min_element(together.seconds.begin(), together.seconds.end()),
                    together.worst(), together.worst() / alone.worst(), together.span,
                    together.span / alone.worst(), together.rows, boards);
        std::printf("  CPU per board: station and its runs %.3f s alone, %.3f s among %d; the "
                    "simulated board %.3f s alone, %.3f s among %d\n",
                    alone.stationCpu, together.stationCpu / boards, boards, alone.boardsCpu,
                    together.boardsCpu / boards, boards);
        ok &= together.worst() <= 1.05 * alone.worst();
    } else {
        std::printf("paced boards: %d of 1 and %d of %d programmed\n", alone.programmed,
                    together.programmed, boards);
    }
    ok &= together.rows == boards;

    // 2. Many unpaced boards, ten links in turn; no board in progress after
    // the first 50 and after the last.
    const pid_t station = startStation(dir, "many", "0");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    constexpr int links = 10;
    const int checkpoint = std::min(50, many);
    std::vector<pid_t> current(links, -1);
    std::vector<std::size_t> seen(links, 0);
    std::vector<std::string> said;
    std::vector<long long> memory;
    std::vector<long long> files;
    long long idleMemory[2] = {-1, -1};
    long long idleFiles[2] = {-1, -1};
    int begun = 0;
    int done = 0;
    for (int i = 0; i < links; ++i) {
        said.push_back(lineStart(dir / "many" / ("link" + std::to_string(i))));
    }
    const auto idle = [&](int which) {
        // Whatever the last run left to the station has been taken by now.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        idleMemory[which] = residentKiB(station);
        idleFiles[which] = openFiles(station);
    };
    const auto until = Clock::now() + std::chrono::seconds(900);
    double boardsCpu = 0;
    const double benchCpu = selfCpu();
    StationLines lines(dir / "many.out");
    std::vector<std::string> failures;
    std::vector<std::size_t> gone(links, 0);
    while (done < many && Clock::now() < until) {
        for (const std::string& line : lines.take()) {
            for (int i = 0; i < links; ++i) {
                const Said what = whatSaid(line, said[i]);
                if (what == Said::Gone) {
                    ++gone[i];
                } else if (what != Said::Other && current[i] >= 0) {
                    ++seen[i];
                    ++done;
                    memory.push_back(residentKiB(station));
                    files.push_back(openFiles(station));
                    boardsCpu += stop(current[i]);
                    current[i] = -1;
                    if (what == Said::Failed) {
                        failures.push_back(line);
                    }
                }
            }
        }
        const bool holding = begun == checkpoint && done < checkpoint;
        if (done == checkpoint && idleMemory[0] < 0) {
            idle(0);
        }
        for (int i = 0; i < links && !holding; ++i) {
            // The next board on a link once the station has seen the last one go.
            if (current[i] < 0 && begun < many && gone[i] >= seen[i]) {
                current[i] = startBoard(dir / "many" / ("link" + std::to_string(i)), false);
                ++begun;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    idle(1);
    for (pid_t sim : current) {
        if (sim > 0) {
            boardsCpu += stop(sim);
        }
    }
    const double stationCpu = stop(station, SIGINT);
    const long long manyRows = rows(dir / "many.sqlite");
    if (done == many && many >= 2 * checkpoint) {
        const std::size_t n = memory.size();
        std::printf("%d unpaced boards (%lld rows, %zu failed): with no board in progress, "
                    "resident memory %lld KiB after %d boards and %lld KiB after all (growth "
                    "%.1f %%), open files %lld and %lld (goal: no growth)\n",
                    done, manyRows, failures.size(), idleMemory[0], checkpoint, idleMemory[1],
                    100.0 * (idleMemory[1] - idleMemory[0]) / idleMemory[0], idleFiles[0],
                    idleFiles[1]);
        std::printf("  while boards run: resident memory %.0f KiB over the first 50, %.0f KiB "
                    "over the last 50; open files %.1f and %.1f; CPU per board: station and its "
                    "runs %.3f s, the simulated board %.3f s, this bench %.3f s\n",
                    mean(memory, 0, 50), mean(memory, n - 50, n), mean(files, 0, 50),
                    mean(files, n - 50, n), stationCpu / done, boardsCpu / done,
                    (selfCpu() - benchCpu) / done);
        ok &= idleFiles[1] <= idleFiles[0] && manyRows == many;
    } else {
        std::printf("%d of %d boards ended (at least 100 needed)\n", done, many);
        ok = false;
    }
    for (std::size_t i = 0; i < failures.size() && i < 5; ++i) {
        std::printf("  %s\n", failures[i].c_str());
    }
    ok &= failures.empty();
    if (ok) {
        fs::remove_all(dir);
    } else {
        std::printf("the outputs and histories are kept in %s\n", dir.c_str());
    }
    return ok ? 0 : 1;
}
