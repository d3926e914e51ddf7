#pragma once

// The Telnet layer under a network serial port: the codes the port control
// option uses, the escaping of data going out and a reader that splits what
// comes in into data, option negotiation and sub-negotiation, however the
// stream is cut into reads.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::telnet {

// Telnet commands.
constexpr std::uint8_t IAC = 255;
constexpr std::uint8_t DONT = 254;
constexpr std::uint8_t DO = 253;
constexpr std::uint8_t WONT = 252;
constexpr std::uint8_t WILL = 251;
constexpr std::uint8_t SB = 250;
constexpr std::uint8_t SE = 240;

// Telnet options.
constexpr std::uint8_t BINARY = 0;
constexpr std::uint8_t SUPPRESS_GO_AHEAD = 3;
constexpr std::uint8_t COM_PORT = 44;

// Port control commands, as the client sends them; the server answers with
// the same code plus serverOffset.
namespace com {
constexpr std::uint8_t SIGNATURE = 0;
constexpr std::uint8_t SET_BAUDRATE = 1;
constexpr std::uint8_t SET_DATASIZE = 2;
constexpr std::uint8_t SET_PARITY = 3;
constexpr std::uint8_t SET_STOPSIZE = 4;
constexpr std::uint8_t SET_CONTROL = 5;
constexpr std::uint8_t NOTIFY_LINESTATE = 6;
constexpr std::uint8_t NOTIFY_MODEMSTATE = 7;
constexpr std::uint8_t FLOWCONTROL_SUSPEND = 8;
constexpr std::uint8_t FLOWCONTROL_RESUME = 9;
constexpr std::uint8_t PURGE_DATA = 12;
constexpr std::uint8_t serverOffset = 100;

// SET-CONTROL values.
constexpr std::uint8_t NO_FLOW_CONTROL = 1;
constexpr std::uint8_t DTR_ON = 8;
constexpr std::uint8_t DTR_OFF = 9;
constexpr std::uint8_t RTS_ON = 11;
constexpr std::uint8_t RTS_OFF = 12;

// PURGE-DATA value: the server's buffer of data received from the serial line.
constexpr std::uint8_t PURGE_RECEIVED = 1;
} // namespace com

// Appends data bytes with every 0xFF doubled, as Telnet carries it.
void appendEscaped(std::vector<std::uint8_t>& out, const std::uint8_t* bytes, std::size_t count);

// IAC verb option.
std::vector<std::uint8_t> negotiation(std::uint8_t verb, std::uint8_t option);

// IAC SB option command payload IAC SE, with 0xFF in the payload doubled.
std::vector<std::uint8_t> subnegotiation(std::uint8_t option, std::uint8_t command,
                                         const std::vector<std::uint8_t>& payload);

// What the reader found, handed over in the order it came on the stream.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void data(const std::uint8_t* bytes, std::size_t count) = 0;
    // verb is WILL, WONT, DO or DONT.
    virtual void negotiation(std::uint8_t verb, std::uint8_t option) = 0;
    // The bytes between IAC SB and IAC SE, undoubled; the first is the option.
    virtual void subnegotiation(const std::vector<std::uint8_t>& body) = 0;
};

// Both ends' state of the options, answered as Telnet requires: a request that
// changes an option's state gets one answer; an answer to our own request and
// a request for the state already in force get none, so the ends never loop.
// Options not named at construction are refused.
class Negotiator {
public:
    // ours: options we take on our side (DO answered WILL); theirs: options
    // we let the other end take (WILL answered DO).
    Negotiator(std::vector<std::uint8_t> ours, std::vector<std::uint8_t> theirs);

    // Asks for an option: WILL for our side, DO for theirs. Gives the bytes to send.
    std::vector<std::uint8_t> ask(std::uint8_t verb, std::uint8_t option);
    // The other end's WILL, WONT, DO or DONT. Gives the answer to send, if any.
    std::vector<std::uint8_t> receive(std::uint8_t verb, std::uint8_t option);

    bool enabled(std::uint8_t option, bool onOurSide) const;
    // No request of ours about the option waits for its answer.
    bool settled(std::uint8_t option, bool onOurSide) const;
    void reset();

private:
    struct Side {
        bool enabled = false;
        bool asked = false; // a request of ours waits for its answer
    };
    std::vector<std::uint8_t> ours_;
    std::vector<std::uint8_t> theirs_;
    Side sides_[2][256] = {}; // [0]: their side, [1]: ours
};

class Reader {
public:
    // The longest sub-negotiation body taken: every answer of the port
    // control option is far shorter. A longer one (a stream without IAC SE)
    // breaks the stream: it is a protocol error, not something to hold.
    static constexpr std::size_t maxBody = 64;

    // Takes the next piece of the stream; may end anywhere, even inside a
    // command, which the next call then completes. Nothing more is handed
    // over once the stream is malformed.
    void feed(const std::uint8_t* bytes, std::size_t count, Sink& sink);
    void reset() { *this = Reader{}; }
    // The server sent a sub-negotiation longer than any legal one.
    bool malformed() const { return state_ == State::Malformed; }

private:
    enum class State { Data, Command, Option, Body, BodyCommand, Malformed };
    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    std::vector<std::uint8_t> body_;
};

} // namespace velmora::telnet
