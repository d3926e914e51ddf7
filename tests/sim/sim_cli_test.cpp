// velmora-sim as a program: ready line, flash file, summary, signals.

#include "sim/scripted_host.h"
#include "support/test_files.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

using namespace velmora::test;
using velmora::testing::readText;
using namespace std::chrono_literals;

extern char** environ;

namespace {

struct SimProcess {
    pid_t pid = -1;
    int output = -1;

    explicit SimProcess(std::vector<std::string> arguments) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        arguments.insert(arguments.begin(), VELMORA_SIM_EXECUTABLE);
        std::vector<char*> argv;
        for (std::string& a : arguments) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid, VELMORA_SIM_EXECUTABLE, &actions, nullptr, argv.data(), environ) !=
            0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        output = pipeFds[0];
    }
    ~SimProcess() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (output >= 0) {
            ::close(output);
        }
    }

    // The first line it prints, or "" after 10 s.
    std::string readLine() {
        std::string line;
        char c = 0;
        pollfd p{output, POLLIN, 0};
        while (::poll(&p, 1, 10000) > 0 && ::read(output, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

    // Exit status after the process ends on its own or by signal, -1 after 10 s.
    int wait() {
        for (int i = 0; i < 1000; ++i) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }
};

bool waitForFile(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        if (::access(path.c_str(), F_OK) == 0) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

} // namespace

TEST(SimProgram, ServesWritesFlashAndSummaryUntilTerminated) {
    const std::string base = ::testing::TempDir() + "velmora-sim-cli-" + std::to_string(::getpid());
    const std::string link = base + ".tty";
    const std::string flashFile = base + ".flash";
    const std::string summaryFile = base + ".json";
    // The option that stops holding bytes met by a settings change to a rate
    // is taken; a host that gives its bytes their line time is served either way.
    SimProcess sim(
        {"--link", link, "--flash-out", flashFile, "--summary", summaryFile, "--lenient-rates"});
    ASSERT_GT(sim.pid, 0);
    const std::string ready = sim.readLine();
    EXPECT_EQ(ready.rfind("velmora-sim ready: " + link + " (/dev/pts/", 0), 0u) << ready;

    ScriptedHost host(link);
    ASSERT_TRUE(host.isOpen());
    ASSERT_TRUE(host.setBaud(2400));
    host.send("reflshu");
    ASSERT_TRUE(host.setBaud(9600));
    const Bytes image = pattern(320);
    EXPECT_EQ(writeImage(host, image), goodReplies(320));
    // The flash file is written before the final 0x06 goes out.
    std::string flash = readText(flashFile);
    ASSERT_EQ(flash.size(), 128u * 1024);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin(), [](std::uint8_t a, char b) {
        return a == static_cast<std::uint8_t>(b);
    }));
    EXPECT_EQ(static_cast<std::uint8_t>(flash[320]), 0xFF);

    ::kill(sim.pid, SIGUSR1);
    ASSERT_TRUE(waitForFile(summaryFile));
    std::remove(summaryFile.c_str());
    ::kill(sim.pid, SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
    const std::string summary = readText(summaryFile);
    EXPECT_NE(summary.find("\"completedWrites\": 1,"), std::string::npos) << summary;
    EXPECT_NE(summary.find("\"kind\": \"trigger word\""), std::string::npos);
    EXPECT_NE(access(link.c_str(), F_OK), 0);
    std::remove(flashFile.c_str());
    std::remove(summaryFile.c_str());
}

TEST(SimProgram, RefusesATriggerWordSentAtOnceAtTheWrongRateAndTakesOneAtTheRightRate) {
    const std::string base =
        ::testing::TempDir() + "velmora-sim-rate-" + std::to_string(::getpid());
    const std::string link = base + ".tty";
    const std::string summaryFile = base + ".json";
    SimProcess sim({"--link", link, "--summary", summaryFile});
    ASSERT_GT(sim.pid, 0);
    sim.readLine();
    auto summaryWhen = [&](const std::string& text) {
        for (int tries = 0; tries < 100; ++tries) {
            std::remove(summaryFile.c_str());
            ::kill(sim.pid, SIGUSR1);
            if (waitForFile(summaryFile)) {
                std::string summary = readText(summaryFile);
                if (summary.find(text) != std::string::npos) {
                    return summary;
                }
            }
        }
        return std::string();
    };
    {
        ScriptedHost host(link);
        ASSERT_TRUE(host.setBaud(9600)); // the rate of the write, not of the trigger word
        host.send("reflshu");
        EXPECT_EQ(writeImage(host, pattern(128), 300ms), std::vector<int>{-1});
    }
    EXPECT_EQ(summaryWhen("accepted: reflshu"), "");
    ScriptedHost host(link);
    ASSERT_TRUE(host.setBaud(2400));
    host.send("reflshu");
    EXPECT_NE(summaryWhen("accepted: reflshu"), "");
    ASSERT_TRUE(host.setBaud(9600));
    EXPECT_EQ(writeImage(host, pattern(128)), goodReplies(128));
    ::kill(sim.pid, SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
    std::remove(summaryFile.c_str());
}

TEST(SimProgram, ExitsWhenItDropsTheLineAndRefusesBadOptions) {
    const std::string summaryFile =
        ::testing::TempDir() + "velmora-sim-drop-" + std::to_string(::getpid()) + ".json";
    {
        SimProcess sim({"--start-in-reflash", "--drop-after-block", "1", "--summary", summaryFile});
        const std::string ready = sim.readLine();
        const std::string prefix = "velmora-sim ready: ";
        ASSERT_EQ(ready.rfind(prefix, 0), 0u) << ready;
        const std::string device = ready.substr(prefix.size(), ready.find(" (") - prefix.size());
        ScriptedHost host(device);
        ASSERT_TRUE(host.setBaud(9600));
        EXPECT_EQ(writeImage(host, pattern(256)), (std::vector<int>{0x06, 0x06, -1}));
        EXPECT_EQ(sim.wait(), 0);
        EXPECT_NE(readText(summaryFile).find("\"linkDropped\": true"), std::string::npos);
        std::remove(summaryFile.c_str());
    }
    SimProcess bad({"--mode", "flash"});
    const int status = bad.wait();
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
    SimProcess help({"--help"});
    std::string text;
    char buffer[4096];
    pollfd p{help.output, POLLIN, 0};
    for (ssize_t n = 1; n > 0 && ::poll(&p, 1, 10000) > 0;) {
        n = ::read(help.output, buffer, sizeof buffer);
        text.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    EXPECT_EQ(help.wait(), 0);
    EXPECT_NE(text.find("reflshu"), std::string::npos);
}
