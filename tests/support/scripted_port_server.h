#pragma once

// A network serial port server on the loopback that misbehaves on purpose,
// for the tests and benches of what a port must survive. It takes one
// connection after another; on each it answers the Telnet options and the
// port control commands as a server should, and once the client sends its
// first data byte it plays its part: floods data, or starts a sub-negotiation
// that never ends. Or it never answers the negotiation at all: silent, or
// flooding instead.

#include "serial/telnet_stream.h"
#include "support/ser2net_server.h" // freeLoopbackPort

#include <arpa/inet.h>
#include <atomic>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace velmora::testing {

class ScriptedPortServer {
public:
    enum class Part {
        Flood,                 // data as fast as the socket takes it
        FloodWhileNegotiating, // data at once, and never an answer
        Silent,                // takes the connection, never says a word
        EndlessSubnegotiation  // IAC SB COM-PORT and then spaces for ever
    };

    explicit ScriptedPortServer(Part part, std::uint8_t floodByte = 0x11)
        : part_(part), floodByte_(floodByte) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int attempt = 0; attempt < 8 && port_ < 0; ++attempt) {
            address.sin_port = htons(static_cast<std::uint16_t>(freeLoopbackPort()));
            if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                ::listen(listener_, 4) == 0) {
                port_ = ntohs(address.sin_port);
            }
        }
        if (port_ > 0) {
            worker_ = std::thread([this] { serve(); });
        }
    }
    ~ScriptedPortServer() {
        stopping_ = true;
        if (worker_.joinable()) {
            worker_.join();
        }
        ::close(listener_);
    }
    ScriptedPortServer(const ScriptedPortServer&) = delete;
    ScriptedPortServer& operator=(const ScriptedPortServer&) = delete;

    bool running() const { return port_ > 0; }
    std::string portName() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    // Data bytes sent by the flood, over every connection.
    long long flooded() const { return flooded_; }
    // Connections taken so far.
    int connections() const { return connections_; }

private:
    // Answers what a client asks, as a well-behaved server would.
    struct Answers : telnet::Sink {
        std::vector<std::uint8_t> out;
        bool dataSeen = false;
        void data(const std::uint8_t*, std::size_t count) override { dataSeen |= count > 0; }
        void negotiation(std::uint8_t verb, std::uint8_t option) override {
            using namespace telnet;
            const bool yes = verb == WILL || verb == DO;
            const std::uint8_t answer =
                verb == WILL || verb == WONT ? (yes ? DO : DONT) : (yes ? WILL : WONT);
            out.insert(out.end(), {IAC, answer, option});
        }
        void subnegotiation(const std::vector<std::uint8_t>& body) override {
            if (body.size() < 2 || body[0] != telnet::COM_PORT) {
                return;
            }
            std::vector<std::uint8_t> payload(body.begin() + 2, body.end());
            if (body[1] == telnet::com::SET_BAUDRATE &&
                payload == std::vector<std::uint8_t>(4, 0)) {
                payload = rate; // a query: the rate in force
            } else if (body[1] == telnet::com::SET_BAUDRATE) {
                rate = payload;
            }
            const auto reply = telnet::subnegotiation(
                telnet::COM_PORT, static_cast<std::uint8_t>(body[1] + telnet::com::serverOffset),
                payload);
            out.insert(out.end(), reply.begin(), reply.end());
        }
        std::vector<std::uint8_t> rate{0, 0, 0x25, 0x80};
    };

    bool readable(int fd, int milliseconds) {
        pollfd waiting{fd, POLLIN, 0};
        return ::poll(&waiting, 1, milliseconds) > 0;
    }

    void serve() {
        while (!stopping_) {
            if (!readable(listener_, 20)) {
                continue;
            }
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                ++connections_;
                play(client);
                ::close(client);
            }
        }
    }

    // One connection, until the client closes it or the server stops.
    void play(int client) {
        telnet::Reader reader;
        Answers answers;
        std::vector<std::uint8_t> burst;
        if (part_ == Part::EndlessSubnegotiation) {
            burst.assign(4096, ' ');
        } else {
            telnet::appendEscaped(burst, std::vector<std::uint8_t>(4096, floodByte_).data(), 4096);
        }
        const bool answering = part_ == Part::Flood || part_ == Part::EndlessSubnegotiation;
        bool started = part_ == Part::FloodWhileNegotiating;
        bool opened = false;
        while (!stopping_) {
            if (readable(client, started ? 0 : 20)) {
                std::uint8_t in[4096];
                const ssize_t got = ::read(client, in, sizeof in);
                if (got <= 0) {
                    return;
                }
                reader.feed(in, static_cast<std::size_t>(got), answers);
                if (answering && !answers.out.empty() &&
                    ::send(client, answers.out.data(), answers.out.size(), MSG_NOSIGNAL) < 0) {
                    return;
                }
                answers.out.clear();
                started |= answers.dataSeen;
            }
            if (!started || part_ == Part::Silent) {
                continue;
            }
            if (part_ == Part::EndlessSubnegotiation && !opened) {
                const std::uint8_t lead[] = {telnet::IAC, telnet::SB, telnet::COM_PORT};
                ::send(client, lead, sizeof lead, MSG_NOSIGNAL);
                opened = true;
            }
            // Sends as fast as the socket takes it, without ever blocking on it.
            pollfd writable{client, POLLOUT, 0};
            if (::poll(&writable, 1, 20) > 0) {
                const ssize_t put =
                    ::send(client, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (put < 0 && errno != EAGAIN) {
                    return;
                }
                flooded_ += put > 0 ? put : 0;
            }
        }
    }

    Part part_;
    std::uint8_t floodByte_;
    int listener_ = -1;
    int port_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<long long> flooded_{0};
    std::atomic<int> connections_{0};
    std::thread worker_;
};

} // namespace velmora::testing
