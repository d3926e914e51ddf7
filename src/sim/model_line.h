#pragma once

// A serial line inside the process: the host's end is a Transport, the far end
// a LineEnd (the board model, or a target a test plays), and all of its time
// is read on one clock, usually a virtual one. Nothing runs beside the host:
// the far end hears each byte with the time it arrived and its answers are
// put on the line at the time they are due, whenever the host next looks. A
// wait for input moves the clock to the next answer or to the deadline, so a
// run with a 60 s time-out takes no wall time and every run is the same run.
//
//     VirtualClock clock;
//     BoardModel board(options);
//     ModelLine line(board, clock);
//     auto transport = line.transport("/dev/ttyS0");   // opened like a port
//
// What it shows the far end: the exact settings each byte was sent at. What it
// shows the host: answers that come together arrive together (one read takes
// them all), an answer the board holds back until the host has taken
// everything before it comes a byte time after that, and a dropped line makes
// the open transport report it gone. With `pace`, every byte takes its line
// time in each direction and a drain waits for the host's last byte.
//
// One thread drives a model line and its transports.

#include "core/clock.h"
#include "serial/transport.h"
#include "sim/board_model.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

class ModelLine {
public:
    struct Options {
        // Every byte takes its line time (10 bits at the rate it goes at).
        bool pace = false;
        // Time before every answer.
        Clock::duration replyDelay{};
    };

    ModelLine(LineEnd& farEnd, Clock& clock, Options options);
    ModelLine(LineEnd& farEnd, Clock& clock) : ModelLine(farEnd, clock, Options{}) {}
    ~ModelLine();
    ModelLine(const ModelLine&) = delete;
    ModelLine& operator=(const ModelLine&) = delete;

    // A transport on the host's end, named as a port is; not open yet. Only one
    // may be open at a time: the line is for this host alone.
    std::unique_ptr<Transport> transport(std::string name);

    // The far end puts bytes on the line by itself, due at `at`.
    void farEndSends(const std::vector<std::uint8_t>& bytes, Clock::time_point at);
    void farEndSends(const std::vector<std::uint8_t>& bytes) { farEndSends(bytes, clock_.now()); }
    // The far end goes away at `at`: the open transport reports it gone from then on.
    void dropAt(Clock::time_point at);

    // Lets the line run, moving the clock from one thing that happens on it
    // to the next, until `done` holds or the clock reaches `limit`; whether
    // `done` held.
    bool runUntil(Clock::time_point limit, const std::function<bool()>& done);

    Clock& clock() const { return clock_; }
    bool dropped() const;
    // The modem lines as the host last put them.
    bool dataTerminalReady() const;
    bool requestToSend() const;
    // How many times a transport was opened on the line.
    int opens() const;
    // The host's settings now; a default LineSettings while nothing is open.
    LineSettings hostSettings() const;

    struct State;

private:
    Clock& clock_;
    std::shared_ptr<State> state_;
};

} // namespace velmora
