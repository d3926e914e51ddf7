#include "bare_host.h"
#include "core/flags.h"
#include "serial/network_transport.h"
#include "serial/telnet_stream.h"
#include "support/pty_peer.h"
#include "support/scripted_port_server.h"
#include "support/ser2net_server.h"

#include <gtest/gtest.h>
#include <map>
#include <numeric>
#include <set>

using namespace std::chrono_literals;
using velmora::LineSettings;
using velmora::Outcome;
using velmora::Transport;
using velmora::TransportClock;

using velmora::testing::PtyPeer;

namespace {

// --- names --------------------------------------------------------------

TEST(NetworkPortName, HostAndPortIncludingBracketedIpv6) {
    auto plain = velmora::parseNetworkPortName("rfc2217://bench-3.lan:4001");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->host, "bench-3.lan");
    EXPECT_EQ(plain->port, "4001");
    auto v6 = velmora::parseNetworkPortName("rfc2217://[fe80::1]:7000");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "fe80::1");
    EXPECT_EQ(v6->port, "7000");

    for (const char* bad :
         {"rfc2217://host", "rfc2217://host:", "rfc2217://:4001", "rfc2217://host:0",
          "rfc2217://host:65536", "rfc2217://host:40x1", "rfc2217://::1:4001",
          "rfc2217://[::1]4001", "rfc2217://[::1", "/dev/ttyUSB0"}) {
        EXPECT_FALSE(velmora::parseNetworkPortName(bad)) << bad;
    }
    EXPECT_EQ(velmora::makeNetworkTransport("/dev/ttyUSB0"), nullptr);

    auto malformed = velmora::makeNetworkTransport("rfc2217://host");
    ASSERT_NE(malformed, nullptr);
    auto status = malformed->open(LineSettings{});
    EXPECT_EQ(status.outcome, Outcome::Refused);
    EXPECT_EQ(status.reason.rfind("rfc2217://host: ", 0), 0u) << status.reason;
}

// --- the Telnet layer ----------------------------------------------------

// What the reader hands over, one entry a data byte or command, in order: the
// same however the data was cut into runs.
struct RecordingSink : velmora::telnet::Sink {
    std::vector<std::string> log;
    void data(const std::uint8_t* in, std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            log.push_back(std::to_string(in[i]));
        }
    }
    void negotiation(std::uint8_t verb, std::uint8_t option) override {
        log.push_back("neg " + std::to_string(verb) + " " + std::to_string(option));
    }
    void subnegotiation(const std::vector<std::uint8_t>& body) override {
        std::string text = "sb";
        for (auto b : body) {
            text += " " + std::to_string(b);
        }
        log.push_back(text);
    }
};

TEST(TelnetStream, SameResultHoweverTheStreamIsCut) {
    using namespace velmora::telnet;
    const std::vector<std::uint8_t> stream = {
        0x11, IAC, IAC,      0x41, // data with a doubled 0xFF
        IAC,  DO,  COM_PORT,       // negotiation
        0x42, IAC, SB,       COM_PORT, 101, 0,   0,   0x25, 0x80, IAC, SE, // baud reply 9600
        IAC,  SB,  COM_PORT, 106,      IAC, IAC, IAC, SE, // line state 0xFF, doubled inside
        IAC,  IAC, IAC,      241,                         // 0xFF then NOP
        0x06};
    RecordingSink whole;
    Reader reader;
    reader.feed(stream.data(), stream.size(), whole);
    EXPECT_EQ(whole.log,
              (std::vector<std::string>{"17", "255", "65", "neg 253 44", "66",
                                        "sb 44 101 0 0 37 128", "sb 44 106 255", "255", "6"}));

    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        for (std::size_t second = cut; second < stream.size(); ++second) {
            RecordingSink pieces;
            Reader split;
            split.feed(stream.data(), cut, pieces);
            split.feed(stream.data() + cut, second - cut, pieces);
            split.feed(stream.data() + second, stream.size() - second, pieces);
            ASSERT_EQ(pieces.log, whole.log) << cut << "," << second;
        }
    }
}

TEST(TelnetStream, EscapingOutAndOverlongBodiesRefused) {
    using namespace velmora::telnet;
    std::vector<std::uint8_t> out;
    const std::uint8_t data[] = {0xFF, 0x00, 0xFF, 0xFF};
    appendEscaped(out, data, sizeof data);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
    // A rate with an 0xFF byte stays one command.
    EXPECT_EQ(subnegotiation(COM_PORT, 1, {0, 0, 0xFF, 0x01}),
              (std::vector<std::uint8_t>{IAC, SB, COM_PORT, 1, 0, 0, IAC, IAC, 1, IAC, SE}));

    // A body that never ends does not grow without bound, and data after
    // its end flows again.
    std::vector<std::uint8_t> flood = {IAC, SB, COM_PORT};
    flood.insert(flood.end(), 100000, 0x20);
    flood.insert(flood.end(), {IAC, SE, 0x55});
    flood.insert(flood.begin(), 0x41); // data before it is handed over
    RecordingSink sink;
    Reader reader;
    reader.feed(flood.data(), flood.size(), sink);
    // A body longer than any legal one breaks the stream: nothing after it counts.
    EXPECT_EQ(sink.log, std::vector<std::string>{"65"});
    EXPECT_TRUE(reader.malformed());
    reader.reset();
    const std::vector<std::uint8_t> longest = {IAC, SB, COM_PORT, 101, 0, 0, 0x25, 0x80, IAC, SE};
    reader.feed(longest.data(), longest.size(), sink);
    EXPECT_FALSE(reader.malformed());
}

TEST(TelnetStream, OptionsAnsweredOnceAndTheRestRefused) {
    using namespace velmora::telnet;
    using Bytes = std::vector<std::uint8_t>;
    Negotiator options({BINARY, COM_PORT}, {BINARY});
    EXPECT_EQ(options.ask(WILL, COM_PORT), (Bytes{IAC, WILL, COM_PORT}));
    EXPECT_FALSE(options.settled(COM_PORT, true));
    EXPECT_EQ(options.receive(DO, COM_PORT), Bytes{}); // the answer to our request
    EXPECT_TRUE(options.settled(COM_PORT, true));
    EXPECT_TRUE(options.enabled(COM_PORT, true));
    EXPECT_EQ(options.receive(DO, COM_PORT), Bytes{}); // already so: no answer, no loop

    EXPECT_EQ(options.receive(WILL, BINARY), (Bytes{IAC, DO, BINARY})); // offered, taken
    EXPECT_EQ(options.receive(DO, 24), (Bytes{IAC, WONT, 24}));         // terminal type
    EXPECT_EQ(options.receive(WILL, 1), (Bytes{IAC, DONT, 1}));         // echo
    EXPECT_FALSE(options.enabled(1, false));

    options.ask(WILL, BINARY);
    EXPECT_EQ(options.receive(DONT, BINARY), Bytes{}); // our request refused
    EXPECT_TRUE(options.settled(BINARY, true));
    EXPECT_FALSE(options.enabled(BINARY, true));
    EXPECT_EQ(options.receive(DONT, COM_PORT), (Bytes{IAC, WONT, COM_PORT})); // turned off once
    EXPECT_EQ(options.receive(DONT, COM_PORT), Bytes{});
}

// --- against the ser2net daemon -----------------------------------------

LineSettings at(int baud) {
    LineSettings settings;
    settings.baud = baud;
    return settings;
}

class NetworkPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        ASSERT_TRUE(server.running()) << server.log();
    }

    std::unique_ptr<Transport> openedAt(int baud, velmora::NetworkTimings timings = {}) {
        auto port = velmora::makeNetworkTransport(server.portName(), timings);
        auto status = port->open(at(baud));
        EXPECT_TRUE(status.ok()) << status.reason << "\n" << server.log();
        return port;
    }

    // Reads from the transport until count bytes came or it stayed silent.
    static std::vector<std::uint8_t> receive(Transport& port, std::size_t count) {
        std::vector<std::uint8_t> got;
        while (got.size() < count &&
               port.waitForInput(TransportClock::now() + 2s).outcome == Outcome::Done) {
            std::uint8_t chunk[700];
            std::size_t taken = 0;
            port.take(chunk, sizeof chunk, taken);
            got.insert(got.end(), chunk, chunk + taken);
        }
        return got;
    }

    PtyPeer peer;
    Ser2netServer server{peer.devicePath()};
};

TEST_F(NetworkPort, EachRateIsOnTheLineWhenTheCallReturns) {
    auto port = openedAt(2400);
    ASSERT_TRUE(port->isOpen());
    EXPECT_EQ(peer.baud(), 2400);

    // The trigger word's 7 bytes take 29 ms at 2400: the rate may change
    // only after they have left.
    const std::vector<std::uint8_t> trigger = {'r', 'e', 'f', 'l', 's', 'h', 'u'};
    const auto sent = TransportClock::now();
    ASSERT_TRUE(port->send(trigger.data(), trigger.size(), sent + 1s).ok());
    ASSERT_TRUE(port->configure(at(9600)).ok());
    EXPECT_GE(TransportClock::now() - sent, std::chrono::microseconds(7 * 10 * 1'000'000 / 2400));
    EXPECT_EQ(peer.baud(), 9600);
    EXPECT_EQ(peer.read(trigger.size()), trigger);

    ASSERT_TRUE(port->configure(at(38400)).ok());
    EXPECT_EQ(peer.baud(), 38400);
    EXPECT_EQ(port->settings(), at(38400));

    // A pseudo-terminal has no modem lines: accepted and ignored.
    EXPECT_TRUE(port->setModemLine(velmora::ModemLine::DataTerminalReady, true).ok());
    EXPECT_TRUE(port->setModemLine(velmora::ModemLine::RequestToSend, false).ok());
}

TEST_F(NetworkPort, EveryByteValueIntactBothWays) {
    auto port = openedAt(38400);
    std::vector<std::uint8_t> image(2048, 0xFF);
    std::iota(image.begin(), image.begin() + 256, 0);
    image[1000] = 0x0D; // a carriage return is data too
    image[1001] = 0x00;

    ASSERT_TRUE(port->send(image.data(), image.size(), TransportClock::now() + 2s).ok());
    EXPECT_EQ(peer.read(image.size()), image);

    ASSERT_TRUE(peer.write(image));
    EXPECT_EQ(receive(*port, image.size()), image);
    EXPECT_TRUE(port->drain(TransportClock::now() + 10s).ok());
}

// Whole runs through ser2net, with the simulated board judging every message
// by the rate the line was at when it came: Flash's trigger word at 2400 and
// its write at 9600; in boot mode the download and first write at 9600 and the
// final write at 38400. (The host waits until the board hears each new rate,
// as the bench's bare host does; the confirmation itself is tested above. The
// boot program is short: each of its bytes waits for its echo through ser2net.)
TEST(NetworkPortBoard, EachMessageAtItsRate) {
    std::vector<std::uint8_t> image(1024, 0xFF);
    std::iota(image.begin(), image.begin() + 256, 0);
    for (auto mode : {velmora::BoardOptions::Mode::User, velmora::BoardOptions::Mode::Boot}) {
        velmora::BoardOptions options;
        options.mode = mode;
        options.strictRates = true;
        velmora::SimulatedBoard board(options);
        ASSERT_TRUE(board.start()) << board.lastError();
        Ser2netServer server({board.terminalPath()}, {.passAtOnce = true});
        ASSERT_TRUE(server.running()) << server.log();
        auto port = velmora::makeNetworkTransport(server.portName());
        velmora::bench::TransportHost host(board, *port);
        bool ok = false;
        if (mode == velmora::BoardOptions::Mode::User) {
            ok = host.setBaud(2400) && host.sendTriggerWord("reflshu") && host.setBaud(9600) &&
                 host.write(image);
        } else {
            ok = host.setBaud(9600) && host.bootHandshake() &&
                 host.bootDownload(std::vector<std::uint8_t>(64, 0xFF)) &&
                 host.write(std::vector<std::uint8_t>(256, 0x11)) && host.setBaud(38400) &&
                 host.write(image);
        }
        ASSERT_TRUE(ok);
        const int writes = mode == velmora::BoardOptions::Mode::User ? 1 : 2;
        ASSERT_TRUE(board.waitForCompletedWrites(writes, 2s));
        const auto flash = board.flash();
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
        std::map<std::string, std::set<int>> ratesByKind;
        for (const auto& message : board.summary().messages) {
            EXPECT_FALSE(message.rateUncertain) << message.kind;
            EXPECT_EQ(message.result.rfind("refused", 0), std::string::npos) << message.result;
            ratesByKind[message.kind].insert(message.bauds.begin(), message.bauds.end());
        }
        if (mode == velmora::BoardOptions::Mode::User) {
            EXPECT_EQ(ratesByKind["trigger word"], std::set<int>{2400});
            EXPECT_EQ(ratesByKind["block"], std::set<int>{9600});
        } else {
            EXPECT_EQ(ratesByKind["boot program"], std::set<int>{9600});
            EXPECT_EQ(ratesByKind["block"], (std::set<int>{9600, 38400}));
            EXPECT_EQ(board.summary().writes.back().baud, 38400);
        }
    }
}

TEST_F(NetworkPort, InputFromBeforeIsDiscarded) {
    ASSERT_TRUE(peer.write({0x15, 0x15, 0x15})); // queued before anyone listened
    auto port = openedAt(9600);
    ASSERT_TRUE(peer.write({0x06}));
    EXPECT_EQ(receive(*port, 1), (std::vector<std::uint8_t>{0x06}));
    EXPECT_EQ(port->available(), 0u);

    ASSERT_TRUE(peer.write({0xAA, 0xFF, 0x55}));
    ASSERT_EQ(port->waitForInput(TransportClock::now() + 2s).outcome, Outcome::Done);
    const auto until = TransportClock::now() + 2s;
    while (port->available() < 3 && TransportClock::now() < until) {
        port->waitForInput(until);
    }
    ASSERT_EQ(port->available(), 3u);
    ASSERT_TRUE(port->discardInput().ok());
    EXPECT_EQ(port->available(), 0u);
    ASSERT_TRUE(peer.write({0x11}));
    EXPECT_EQ(receive(*port, 1), (std::vector<std::uint8_t>{0x11}));
}

TEST_F(NetworkPort, KilledServerIsNamedWithinASecond) {
    auto port = openedAt(9600);
    server.kill();
    const auto start = TransportClock::now();
    auto status = port->waitForInput(start + 5s);
    EXPECT_LT(TransportClock::now() - start, 1s);
    EXPECT_EQ(status.outcome, Outcome::Gone);
    EXPECT_EQ(status.reason.rfind(server.portName() + ": ", 0), 0u) << status.reason;
    EXPECT_FALSE(port->isOpen());
    const std::uint8_t byte = 0x11;
    EXPECT_EQ(port->send(&byte, 1, TransportClock::now() + 1s).outcome, Outcome::Refused);
}

TEST_F(NetworkPort, PortInUseIsRefusedInTheServersWords) {
    auto first = openedAt(9600);
    auto second = velmora::makeNetworkTransport(server.portName());
    auto status = second->open(at(9600));
    EXPECT_EQ(status.outcome, Outcome::Refused);
    EXPECT_EQ(status.reason, server.portName() + ": Port already in use");
    EXPECT_TRUE(first->isOpen());
}

TEST_F(NetworkPort, SilentServerIsNamedAfterTheReplyTime) {
    velmora::NetworkTimings quick;
    quick.reply = 300ms;
    auto port = openedAt(2400, quick);
    server.pause();
    // A drain bounded shorter than the reply time only times out.
    const std::uint8_t byte = 0x55;
    ASSERT_TRUE(port->send(&byte, 1, TransportClock::now() + 1s).ok());
    EXPECT_EQ(port->drain(TransportClock::now() + 20ms).outcome, Outcome::TimedOut);
    server.resume();
    EXPECT_TRUE(port->drain(TransportClock::now() + 1s).ok());
    server.pause();

    const auto start = TransportClock::now();
    auto status = port->configure(at(9600));
    const auto took = TransportClock::now() - start;
    server.resume();
    EXPECT_EQ(status.outcome, Outcome::Gone);
    EXPECT_EQ(status.reason, server.portName() + ": the server did not confirm the line settings "
                                                 "9600,n,8,1");
    EXPECT_GE(took, quick.reply);
    EXPECT_LT(took, 2s);
    EXPECT_FALSE(port->isOpen());
}

TEST_F(NetworkPort, ASilentBoardWaitsAndAStoppedServerIsNamedWhileWaitingForInput) {
    velmora::NetworkTimings quick;
    quick.reply = 200ms;
    auto port = openedAt(9600, quick);
    // The board says nothing for several reply times: the server answers
    // for it, and the wait ends at its own deadline with the port open.
    auto status = port->waitForInput(TransportClock::now() + 5 * quick.reply);
    EXPECT_EQ(status.outcome, Outcome::TimedOut) << status.reason;
    ASSERT_TRUE(port->isOpen());
    ASSERT_TRUE(peer.write({0x06}));
    EXPECT_EQ(receive(*port, 1), (std::vector<std::uint8_t>{0x06}));

    server.pause();
    const auto start = TransportClock::now();
    status = port->waitForInput(start + 60s);
    const auto took = TransportClock::now() - start;
    server.resume();
    EXPECT_EQ(status.outcome, Outcome::Gone);
    EXPECT_EQ(status.reason, server.portName() + ": the server does not answer");
    EXPECT_GE(took, quick.reply);
    EXPECT_LT(took, 2s);
    EXPECT_FALSE(port->isOpen());
}

TEST_F(NetworkPort, RefusedConnectionAndUnknownHostNamedAtOnce) {
    const std::string nobody = "rfc2217://127.0.0.1:" + std::to_string(freeLoopbackPort());
    auto port = velmora::makeNetworkTransport(nobody);
    auto start = TransportClock::now();
    auto status = port->open(at(9600));
    EXPECT_LT(TransportClock::now() - start, 1s);
    EXPECT_EQ(status.outcome, Outcome::Refused);
    EXPECT_EQ(status.reason, nobody + ": Connection refused");
    EXPECT_FALSE(port->isOpen());

    const std::string unknown = "rfc2217://no-such-bench.invalid:4001";
    port = velmora::makeNetworkTransport(unknown);
    start = TransportClock::now();
    status = port->open(at(9600));
    EXPECT_LT(TransportClock::now() - start, 5s);
    EXPECT_EQ(status.outcome, Outcome::Refused);
    EXPECT_EQ(status.reason.rfind(unknown + ": ", 0), 0u) << status.reason;
}

// --- against servers that misbehave ---------------------------------------

using velmora::testing::ScriptedPortServer;

TEST(NetworkPortServer, AFloodIsHeldBoundedAndAnOverlongOptionIsNamedAtOnce) {
    ScriptedPortServer flood(ScriptedPortServer::Part::Flood);
    ASSERT_TRUE(flood.running());
    auto port = velmora::makeNetworkTransport(flood.portName());
    ASSERT_TRUE(port->open(at(9600)).ok());
    const std::uint8_t trigger = 'r';
    ASSERT_TRUE(port->send(&trigger, 1, TransportClock::now() + 1s).ok());
    // Whatever the server sends, no more than tens of KiB are held.
    std::size_t most = 0;
    for (auto until = TransportClock::now() + 300ms; TransportClock::now() < until;) {
        EXPECT_EQ(port->waitForInput(TransportClock::now() + 10ms).outcome, Outcome::Done);
        most = std::max(most, port->available());
    }
    EXPECT_GT(most, 0u);
    EXPECT_LE(most, 64u * 1024);
    EXPECT_GT(flood.flooded(), 0);
    // A confirmation stuck behind data nobody takes fails at once, named.
    const auto asked = TransportClock::now();
    auto status = port->configure(at(38400));
    EXPECT_LT(TransportClock::now() - asked, 1s);
    EXPECT_EQ(status.outcome, Outcome::Refused);
    EXPECT_NE(status.reason.find("were not taken"), std::string::npos) << status.reason;
    port->close();

    ScriptedPortServer endless(ScriptedPortServer::Part::EndlessSubnegotiation);
    port = velmora::makeNetworkTransport(endless.portName());
    ASSERT_TRUE(port->open(at(9600)).ok());
    ASSERT_TRUE(port->send(&trigger, 1, TransportClock::now() + 1s).ok());
    const auto waited = TransportClock::now();
    status = port->waitForInput(waited + 60s);
    // Far below the 60 s asked for, with room for a busy machine.
    EXPECT_LT(TransportClock::now() - waited, 5s);
    EXPECT_EQ(status.outcome, Outcome::Gone);
    EXPECT_EQ(status.reason, endless.portName() + ": the server sent a malformed option");
    EXPECT_FALSE(port->isOpen());
}

TEST(NetworkPortServer, AStalledNegotiationEndsAtTheReplyTimeOrAtOnceWhenTheRunStops) {
    ScriptedPortServer stall(ScriptedPortServer::Part::Silent);
    ASSERT_TRUE(stall.running());
    velmora::NetworkTimings quick;
    quick.reply = 300ms;
    auto port = velmora::makeNetworkTransport(stall.portName(), quick);
    auto start = TransportClock::now();
    auto status = port->open(at(9600));
    EXPECT_GE(TransportClock::now() - start, quick.reply);
    EXPECT_EQ(status.reason, stall.portName() + ": the server does not answer");

    // Flooding (0xFF doubled, the worst for the Telnet layer) instead of
    // answering is named at once, holding no more than tens of KiB.
    // A long reply time: only the bound on held data can end this open, so
    // a slow flood (a loaded machine, a sanitizer) still shows it.
    ScriptedPortServer flood(ScriptedPortServer::Part::FloodWhileNegotiating, 0xFF);
    velmora::NetworkTimings slowReply;
    slowReply.reply = 20s;
    port = velmora::makeNetworkTransport(flood.portName(), slowReply);
    status = port->open(at(9600));
    EXPECT_EQ(status.reason, flood.portName() +
                                 ": the server sent more than 32 KiB of data before the port "
                                 "was open");

    // Asked to stop (a signal), a long wait ends within its stop check.
    velmora::NetworkTimings patient;
    patient.reply = 20s;
    port = velmora::makeNetworkTransport(stall.portName(), patient);
    std::thread signal([] {
        std::this_thread::sleep_for(200ms);
        velmora::requestStop();
    });
    start = TransportClock::now();
    status = port->open(at(9600));
    const auto took = TransportClock::now() - start;
    signal.join();
    velmora::clearStopRequest();
    EXPECT_LT(took, 1s);
    EXPECT_FALSE(status.ok());
    EXPECT_FALSE(port->isOpen());
}

TEST(NetworkPortServer, WithoutPortControlOrTelnetIsRefused) {
    PtyPeer peer;
    PtyPeer other;
    Ser2netServer plainTelnet({peer.devicePath()}, {.accepter = "telnet"});
    Ser2netServer rawTcp({other.devicePath()}, {.accepter = ""});
    ASSERT_TRUE(plainTelnet.running() && rawTcp.running()) << plainTelnet.log() << rawTcp.log();
    auto port = velmora::makeNetworkTransport(plainTelnet.portName());
    auto status = port->open(at(9600));
    EXPECT_EQ(status.outcome, Outcome::Refused);
    EXPECT_EQ(status.reason,
              plainTelnet.portName() + ": the server does not control the serial port (RFC 2217)");

    // A plain TCP port never answers the negotiation.
    velmora::NetworkTimings quick;
    quick.reply = 200ms;
    port = velmora::makeNetworkTransport(rawTcp.portName(), quick);
    const auto start = TransportClock::now();
    status = port->open(at(9600));
    EXPECT_GE(TransportClock::now() - start, quick.reply);
    EXPECT_EQ(status.outcome, Outcome::Refused);
    EXPECT_EQ(status.reason, rawTcp.portName() + ": the server does not answer");
}

} // namespace
