// A programming station against one board alone, through velmora-cli station
// and velmora-sim links that appear in the watched folder:
//  1. sixteen paced boards (every byte at the line rate) appearing within a
//     second, against one board alone in the same run: the time until the
//     last is programmed over the time of the one (goal: at most 1.05), and
//     the history holds a row for each;
//  2. 500 unpaced boards, ten at a time, each link vanishing once its board
//     is done: the station's resident memory and open descriptors over the
//     first 50 boards and the last 50 (goal: no growth).
//
//   station_bench [BOARDS] [MANY]     defaults 16 and 500

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sqlite3.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

void writeProgram(const fs::path& path, unsigned size) {
    std::ofstream mot(path, std::ios::binary);
    mot << "S00600004844521B\r\n";
    for (unsigned address = 0; address < size; address += 32) {
        unsigned count = 32 + 3;
        unsigned sum = count + (address >> 8) + (address & 0xFF);
        char text[16];
        std::snprintf(text, sizeof text, "S1%02X%04X", count, address);
        std::string line = text;
        for (unsigned i = 0; i < 32; ++i) {
            unsigned byte = (address + i) * 13 & 0xFF;
            std::snprintf(text, sizeof text, "%02X", byte);
            line += text;
            sum += byte;
        }
        std::snprintf(text, sizeof text, "%02X\r\n", (~sum) & 0xFF);
        mot << line << text;
    }
    mot << "S9030000FC\r\n";
}

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

void stop(pid_t pid, int signal = SIGTERM) {
    kill(pid, signal);
    waitpid(pid, nullptr, 0);
}

std::size_t count(const fs::path& file, const std::string& text) {
    std::ifstream in(file);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t found = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++found;
    }
    return found;
}

// Waits until the station has said `text` `times` times; false after the limit.
bool waitFor(const fs::path& out, const std::string& text, std::size_t times,
             std::chrono::seconds limit) {
    const auto until = Clock::now() + limit;
    while (count(out, text) < times) {
        if (Clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
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

} // namespace

int main(int argc, char** argv) {
    const int boards = argc > 1 ? std::atoi(argv[1]) : 16;
    const int many = argc > 2 ? std::atoi(argv[2]) : 500;
    const fs::path dir =
        fs::temp_directory_path() / ("velmora-station-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    writeProgram(dir / "prog.mot", 8 * 1024);
    bool ok = true;

    // 1. One board alone, then sixteen at once, paced, one station each.
    const pid_t alone = startStation(dir, "alone", "200");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto started = Clock::now();
    const pid_t single = startBoard(dir / "alone" / "board", true);
    ok &= waitFor(dir / "alone.out", "] programmed in", 1, std::chrono::seconds(120));
    const double aloneSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    stop(single);
    stop(alone, SIGINT);

    const pid_t together = startStation(dir, "together", "200");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<pid_t> sims;
    started = Clock::now();
    for (int i = 0; i < boards; ++i) {
        sims.push_back(startBoard(dir / "together" / ("board" + std::to_string(i)), true));
        std::this_thread::sleep_for(std::chrono::milliseconds(900 / boards));
    }
    ok &= waitFor(dir / "together.out", "] programmed in", boards, std::chrono::seconds(300));
    const double togetherSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    for (pid_t sim : sims) {
        stop(sim);
    }
    stop(together, SIGINT);
    const long long kept = rows(dir / "together.sqlite");
    std::printf("8 KiB, paced boards: 1 board %.2f s, %d boards appearing within a second "
                "%.2f s, ratio %.3f (goal <= 1.05); history rows %lld (goal %d)\n",
                aloneSeconds, boards, togetherSeconds, togetherSeconds / aloneSeconds, kept,
                boards);
    ok &= kept == boards;

    // 2. Many unpaced boards, ten links in turn.
    const pid_t station = startStation(dir, "many", "0");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    constexpr int links = 10;
    std::vector<pid_t> current(links, -1);
    std::vector<long long> memory;
    std::vector<long long> files;
    int begun = 0;
    std::size_t done = 0;
    for (int i = 0; i < links && begun < many; ++i, ++begun) {
        current[i] = startBoard(dir / "many" / ("link" + std::to_string(i)), false);
    }
    const auto until = Clock::now() + std::chrono::seconds(900);
    std::map<std::string, std::size_t> seen;
    while (static_cast<int>(done) < many && Clock::now() < until) {
        for (int i = 0; i < links; ++i) {
            const std::string name = "link" + std::to_string(i) + "] ";
            const std::size_t ended = count(dir / "many.out", name + "programmed in") +
                                      count(dir / "many.out", name + "FAILED in");
            if (current[i] < 0 || ended <= seen[name]) {
                continue;
            }
            seen[name] = ended;
            ++done;
            memory.push_back(residentKiB(station));
            files.push_back(openFiles(station));
            stop(current[i]);
            current[i] = -1;
            if (begun < many) {
                // The next board on this link once the station has seen the last one go.
                waitFor(dir / "many.out", name + "board gone", ended, std::chrono::seconds(10));
                current[i] = startBoard(dir / "many" / ("link" + std::to_string(i)), false);
                ++begun;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (pid_t sim : current) {
        if (sim > 0) {
            stop(sim);
        }
    }
    stop(station, SIGINT);
    const long long manyRows = rows(dir / "many.sqlite");
    const long long failedRuns = static_cast<long long>(count(dir / "many.out", "FAILED in"));
    if (memory.size() >= 100) {
        const std::size_t n = memory.size();
        std::printf("%zu unpaced boards (%lld rows, %lld failed): resident memory %.0f KiB over "
                    "the first 50, %.0f KiB over the last 50 (growth %.1f %%); open files %.1f "
                    "and %.1f (goal: no growth)\n",
                    n, manyRows, failedRuns, mean(memory, 0, 50), mean(memory, n - 50, n),
                    100 * (mean(memory, n - 50, n) / mean(memory, 0, 50) - 1), mean(files, 0, 50),
                    mean(files, n - 50, n));
        ok &= mean(files, n - 50, n) <= mean(files, 0, 50);
    } else {
        std::printf("only %zu of %d boards ended\n", memory.size(), many);
        ok = false;
    }
    fs::remove_all(dir);
    return ok ? 0 : 1;
}
