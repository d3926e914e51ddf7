#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <stdlib.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

// A free TCP port on the loopback interface, as the system hands one out.
inline int freeLoopbackPort() {
    int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(probe);
    return port;
}

// The ser2net daemon serving serial devices on loopback ports, one port a
// device, with a configuration of its own, for as long as the object lives.
class Ser2netServer {
public:
    struct Options {
        // How the ports are offered; "telnet(rfc2217)" is the network serial
        // port, plain "telnet" a server without port control, empty bare TCP.
        std::string accepter = "telnet(rfc2217)";
        // Pass the device's input on at once, not after two characters' time.
        bool passAtOnce = false;
    };

    explicit Ser2netServer(const std::string& device) : Ser2netServer(std::vector{device}, {}) {}
    Ser2netServer(const std::vector<std::string>& devices, const Options& options) {
        char folder[] = "/tmp/velmora-ser2net-XXXXXX";
        if (::mkdtemp(folder) == nullptr) {
            return;
        }
        folder_ = folder;
        const std::string config = folder_ + "/ser2net.yaml";
        std::ofstream file(config);
        file << "%YAML 1.1\n---\n";
        for (std::size_t i = 0; i < devices.size(); ++i) {
            int port = freeLoopbackPort();
            while (std::find(ports_.begin(), ports_.end(), port) != ports_.end()) {
                port = freeLoopbackPort();
            }
            ports_.push_back(port);
            file << "connection: &board" << i << "\n"
                 << "  accepter: " << options.accepter << (options.accepter.empty() ? "" : ",")
                 << "tcp,127.0.0.1," << ports_.back() << "\n"
                 << "  connector: serialdev," << devices[i] << ",9600n81,local\n";
            if (options.passAtOnce) {
                file << "  options:\n    chardelay: false\n";
            }
        }
        file.close();
        const std::string log = folder_ + "/ser2net.log";
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT, 0644);
        ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::string program = "ser2net";
        std::string noDetach = "-n", debug = "-d", noLocks = "-u", configSwitch = "-c";
        std::string configPath = config;
        char* argv[] = {program.data(),      noDetach.data(),   debug.data(), noLocks.data(),
                        configSwitch.data(), configPath.data(), nullptr};
        if (::posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) {
            pid_ = -1;
        }
        ::posix_spawn_file_actions_destroy(&actions);
        for (int port : ports_) {
            if (pid_ > 0 && !waitUntilListening(port, std::chrono::seconds(10))) {
                kill();
            }
        }
    }
    ~Ser2netServer() {
        resume();
        kill();
        if (!folder_.empty()) {
            std::remove((folder_ + "/ser2net.yaml").c_str());
            std::remove((folder_ + "/ser2net.log").c_str());
            ::rmdir(folder_.c_str());
        }
    }
    Ser2netServer(const Ser2netServer&) = delete;
    Ser2netServer& operator=(const Ser2netServer&) = delete;

    bool running() const { return pid_ > 0; }
    std::string portName(std::size_t device = 0) const {
        return "rfc2217://127.0.0.1:" + std::to_string(ports_.at(device));
    }

    // The daemon dies at once, as a crash or a pulled cable would end it.
    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    // The daemon stops answering (and taking data) until resumed.
    void pause() const {
        if (pid_ > 0) {
            ::kill(pid_, SIGSTOP);
        }
    }
    void resume() const {
        if (pid_ > 0) {
            ::kill(pid_, SIGCONT);
        }
    }

    std::string log() const {
        std::ifstream file(folder_ + "/ser2net.log");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    // Listening shows in the kernel's table of TCP sockets (state 0A); a
    // probe connection would itself open the device.
    bool waitUntilListening(int port, std::chrono::milliseconds limit) {
        char wanted[16];
        std::snprintf(wanted, sizeof wanted, ":%04X ", port);
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            std::ifstream table("/proc/net/tcp");
            std::string line;
            while (std::getline(table, line)) {
                std::istringstream fields(line);
                std::string slot, local, remote, state;
                fields >> slot >> local >> remote >> state;
                if ((local + ' ').find(wanted) != std::string::npos && state == "0A") {
                    return true;
                }
            }
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1; // it gave up (see the log)
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    std::vector<int> ports_;
    pid_t pid_ = -1;
    std::string folder_;
};
