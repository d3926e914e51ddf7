// Converting a full 128 KiB program: `velmora-cli convert` against binutils'
// `objcopy -I srec -O binary` on the same files in the same run, records in
// ascending and in descending address order. Each tool runs as a child
// process; the bench prints the median wall time of each, the ratio
// ours/objcopy and the peak resident memory (maxrss) of each child. It also
// times the library's load alone (readFile to writeImage, in this process)
// with the heap its lists hold, and each tool's start-up alone
// (`velmora-cli convert --help`, `objcopy --version`), to tell the load's
// share from the process's. Last, both tools convert large files of records
// inside the window (the 128 KiB program repeated) once each, for their peak
// memory: ours must not grow with the file.
//
//   image_bench [RUNS] [MIB...]   RUNS runs of each tool per order (default 9);
//                                 large files of MIB MiB each (default 50 1024, 0 for none)

#include "core/operator.h"
#include "image/mot_image.h"
#include "support/quiet_operator.h"
#include "support/srec_text.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <malloc.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint32_t imageSize = 0x20000;
constexpr std::uint32_t recordSize = 16;

std::string record(std::uint32_t address, const std::uint8_t* bytes) {
    return velmora::testing::dataRecord(address, Bytes(bytes, bytes + recordSize)) + "\r\n";
}

// The program as S0, 8192 data records and S9, in the given address order.
void writeProgram(const fs::path& file, const Bytes& blob, bool descending) {
    std::string text = "S00600004844521B\r\n";
    for (std::uint32_t i = 0; i < imageSize / recordSize; ++i) {
        const std::uint32_t index = descending ? imageSize / recordSize - 1 - i : i;
        text += record(index * recordSize, blob.data() + index * recordSize);
    }
    text += "S9030000FC\r\n";
    std::ofstream(file, std::ios::binary) << text;
}

Bytes readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct ChildRun {
    double seconds = 0;
    double cpuSeconds = 0; // user and system time of the child
    long maxRssKiB = 0;
    int exitCode = -1;
};

struct Summary {
    std::vector<double> wall[2], cpu[2];
    long rss[2] = {0, 0};
    void add(const ChildRun& ours, const ChildRun& theirs) {
        const ChildRun* runs[2] = {&ours, &theirs};
        for (int i = 0; i < 2; ++i) {
            wall[i].push_back(runs[i]->seconds);
            cpu[i].push_back(runs[i]->cpuSeconds);
            rss[i] = std::max(rss[i], runs[i]->maxRssKiB);
        }
    }
};

double median(std::vector<double> values);

void printRow(const char* name, const Summary& summary, const char* note = "") {
    const double wall[2] = {median(summary.wall[0]), median(summary.wall[1])};
    const double cpu[2] = {median(summary.cpu[0]), median(summary.cpu[1])};
    std::printf("%-11s %8.2f %8.2f %6.3f   %8.2f %8.2f %6.3f   %8ld %8ld %6.2f%s\n", name,
                wall[0] * 1e3, wall[1] * 1e3, wall[0] / wall[1], cpu[0] * 1e3, cpu[1] * 1e3,
                cpu[0] / cpu[1], summary.rss[0], summary.rss[1],
                static_cast<double>(summary.rss[0]) / static_cast<double>(summary.rss[1]), note);
}

// Runs a program as a child with its output discarded; its wall time and peak memory.
ChildRun runChild(const std::vector<std::string>& arguments, const fs::path& folder) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const auto started = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (::chdir(folder.c_str()) != 0) {
            ::_exit(126);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ChildRun run;
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) {
        return run;
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.maxRssKiB = usage.ru_maxrss;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t done = ::write(fd, bytes, size);
        if (done <= 0) {
            return false;
        }
        bytes += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

bool readAll(int fd, void* data, std::size_t size) {
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t done = ::read(fd, bytes, size);
        if (done <= 0) {
            return false;
        }
        bytes += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

// Starts the children from a process of its own, forked before the bench
// holds any memory. A child's peak resident memory (ru_maxrss) includes the
// pages it inherits at fork, kept across exec: children forked from the
// bench itself, after its in-process loads, would be charged the bench's own
// megabytes.
class Spawner {
public:
    Spawner() {
        int toSpawner[2];
        int fromSpawner[2];
        if (::pipe(toSpawner) != 0 || ::pipe(fromSpawner) != 0) {
            std::perror("image_bench: pipe");
            std::exit(1);
        }
        pid = ::fork();
        if (pid == 0) {
            ::close(toSpawner[1]);
            ::close(fromSpawner[0]);
            serve(toSpawner[0], fromSpawner[1]);
            ::_exit(0);
        }
        ::close(toSpawner[0]);
        ::close(fromSpawner[1]);
        requests = toSpawner[1];
        replies = fromSpawner[0];
    }
    ~Spawner() {
        const std::uint32_t none = 0;
        writeAll(requests, &none, sizeof none);
        ::close(requests);
        ::close(replies);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    Spawner(const Spawner&) = delete;
    Spawner& operator=(const Spawner&) = delete;

    ChildRun run(const std::vector<std::string>& arguments, const fs::path& folder) {
        std::vector<std::string> words{folder.string()};
        words.insert(words.end(), arguments.begin(), arguments.end());
        const auto count = static_cast<std::uint32_t>(words.size());
        bool sent = writeAll(requests, &count, sizeof count);
        for (const std::string& word : words) {
            const auto size = static_cast<std::uint32_t>(word.size());
            sent = sent && writeAll(requests, &size, sizeof size) &&
                   writeAll(requests, word.data(), word.size());
        }
        ChildRun result;
        if (!sent || !readAll(replies, &result, sizeof result)) {
            std::fprintf(stderr, "image_bench: the spawner is gone\n");
            std::exit(1);
        }
        return result;
    }

private:
    // One request at a time: the folder, then the program and its arguments.
    static void serve(int requests, int replies) {
        for (;;) {
            std::uint32_t count = 0;
            if (!readAll(requests, &count, sizeof count) || count < 2) {
                return;
            }
            std::vector<std::string> words(count);
            for (std::string& word : words) {
                std::uint32_t size = 0;
                if (!readAll(requests, &size, sizeof size)) {
                    return;
                }
                word.resize(size);
                if (!readAll(requests, word.data(), size)) {
                    return;
                }
            }
            const fs::path folder = words.front();
            words.erase(words.begin());
            const ChildRun result = runChild(words, folder);
            if (!writeAll(replies, &result, sizeof result)) {
                return;
            }
        }
    }

    pid_t pid = -1;
    int requests = -1;
    int replies = -1;
};

struct LibraryLoad {
    double seconds = 0;
    std::size_t heapBytes = 0; // held by the image after the load
};

// The library's load, as the document runs it, in this process.
LibraryLoad loadInProcess(const fs::path& program, const fs::path& out) {
    const std::size_t heapBefore = mallinfo2().uordblks;
    velmora::testing::QuietOperator op;
    velmora::MotImage image(op);
    const auto started = Clock::now();
    const bool ok = image.readFile(program.string()) && image.sortRecords() && image.buildLines();
    image.mergeLines();
    if (!ok || !image.fillGaps() || !image.writeImage(out.string())) {
        std::fprintf(stderr, "image_bench: the library's load failed\n");
        std::exit(1);
    }
    LibraryLoad load;
    load.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    load.heapBytes = mallinfo2().uordblks - heapBefore;
    return load;
}

// The program's records (no S0, no S9) repeated until the file holds `mib`
// MiB, then the end record: every record lies inside the window.
void writeLargeProgram(const fs::path& file, const Bytes& blob, std::uint64_t mib) {
    std::string pass;
    for (std::uint32_t address = 0; address < imageSize; address += recordSize) {
        pass += record(address, blob.data() + address);
    }
    std::ofstream out(file, std::ios::binary);
    out << "S00600004844521B\r\n";
    for (std::uint64_t written = 0; written < (mib << 20); written += pass.size()) {
        out.write(pass.data(), static_cast<std::streamsize>(pass.size()));
    }
    out << "S9030000FC\r\n";
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    Spawner spawner; // first, while the bench is small
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    std::vector<std::uint64_t> largeMiB;
    for (int i = 2; i < argc; ++i) {
        if (const long long mib = std::atoll(argv[i]); mib > 0) {
            largeMiB.push_back(static_cast<std::uint64_t>(mib));
        }
    }
    if (argc <= 2) {
        largeMiB = {50, 1024};
    }
    std::string pattern = (fs::temp_directory_path() / "velmora-image-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("image_bench: mkdtemp");
        return 1;
    }
    const fs::path folder = pattern;

    Bytes blob(imageSize);
    std::mt19937 random(3062);
    for (auto& byte : blob) {
        byte = static_cast<std::uint8_t>(random());
    }

    std::printf("128 KiB image, 8192 records of 16 bytes (S1 below 0x10000, S2 above), CRLF; "
                "median of %d runs each\n\n",
                runs);
    std::printf("%-11s %23s   %23s   %23s\n", "", "wall time (ms)", "CPU time (ms)",
                "maxrss (KiB)");
    std::printf("%-11s %8s %8s %6s   %8s %8s %6s   %8s %8s %6s\n", "order", "ours", "objcopy",
                "ratio", "ours", "objcopy", "ratio", "ours", "objcopy", "ratio");
    bool allGood = true;
    double libraryTimes[2] = {0, 0};
    std::size_t libraryHeap[2] = {0, 0};
    for (const bool descending : {false, true}) {
        const fs::path program = folder / (descending ? "descending.mot" : "ascending.mot");
        writeProgram(program, blob, descending);
        const fs::path ours = folder / "tmp.bin";
        const fs::path theirs = folder / "objcopy.bin";

        Summary summary;
        for (int run = 0; run < runs; ++run) {
            // Alternate the two so that neither gets the warmer machine.
            const ChildRun a = spawner.run(
                {VELMORA_CLI, "convert", program.string(), "-o", ours.string()}, folder);
            const ChildRun b = spawner.run(
                {"objcopy", "-I", "srec", "-O", "binary", program.string(), theirs.string()},
                folder);
            if (a.exitCode != 0 || b.exitCode != 0) {
                std::fprintf(stderr, "image_bench: velmora-cli exit %d, objcopy exit %d\n",
                             a.exitCode, b.exitCode);
                return 1;
            }
            summary.add(a, b);
        }
        const bool same = readBytes(ours) == blob && readBytes(theirs) == blob;
        allGood = allGood && same;
        printRow(descending ? "descending" : "ascending", summary, same ? "" : "  IMAGES DIFFER");

        std::vector<double> library;
        for (int run = 0; run < runs; ++run) {
            const LibraryLoad load = loadInProcess(program, folder / "library.bin");
            library.push_back(load.seconds);
            libraryHeap[descending ? 1 : 0] = load.heapBytes;
        }
        libraryTimes[descending ? 1 : 0] = median(library);
    }
    // Start-up alone: each tool doing nothing but parse its command line.
    Summary startUp;
    for (int run = 0; run < runs; ++run) {
        startUp.add(spawner.run({VELMORA_CLI, "convert", "--help"}, folder),
                    spawner.run({"objcopy", "--version"}, folder));
    }
    printRow("start-up", startUp);

    std::printf("\nlibrary load alone (readFile to writeImage, in process): ascending %.2f ms, "
                "descending %.2f ms, descending/ascending %.3f; heap held after the load %zu KiB "
                "(ascending), %zu KiB (descending)\n",
                libraryTimes[0] * 1e3, libraryTimes[1] * 1e3, libraryTimes[1] / libraryTimes[0],
                libraryHeap[0] / 1024, libraryHeap[1] / 1024);

    if (!largeMiB.empty()) {
        std::printf("\nlarge files, the program repeated, one run each\n");
        std::printf("%-11s %19s   %19s   %8s\n", "size", "wall time (s)", "maxrss (KiB)", "same");
        std::printf("%-11s %9s %9s   %9s %9s\n", "", "ours", "objcopy", "ours", "objcopy");
    }
    for (const std::uint64_t mib : largeMiB) {
        const fs::path program = folder / "large.mot";
        writeLargeProgram(program, blob, mib);
        const fs::path ours = folder / "tmp.bin";
        const fs::path theirs = folder / "objcopy.bin";
        const ChildRun a =
            spawner.run({VELMORA_CLI, "convert", program.string(), "-o", ours.string()}, folder);
        const ChildRun b = spawner.run(
            {"objcopy", "-I", "srec", "-O", "binary", program.string(), theirs.string()}, folder);
        const bool same = a.exitCode == 0 && b.exitCode == 0 && readBytes(ours) == blob &&
                          readBytes(theirs) == blob;
        allGood = allGood && same;
        const std::string size = std::to_string(fs::file_size(program) >> 20) + " MiB";
        std::printf("%-11s %9.2f %9.2f   %9ld %9ld   %8s\n", size.c_str(), a.seconds, b.seconds,
                    a.maxRssKiB, b.maxRssKiB, same ? "yes" : "NO");
        std::error_code ignored;
        fs::remove(program, ignored);
    }

    std::error_code ignored;
    fs::remove_all(folder, ignored);
    if (!allGood) {
        std::fprintf(stderr, "image_bench: an image differs from the program's bytes\n");
        return 1;
    }
    return 0;
}
