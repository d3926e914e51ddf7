// What the boards' runs tell, as it arrives: each board's progress, messages
// and record kept and shown, a signal passed on.

#include "cli/board_run.h"
#include "cli/interrupts.h"

namespace velmora::cli {

namespace {

constexpr auto redrawEvery = std::chrono::milliseconds(100);

// A line of the board's news: shown with its port, kept as its message, its
// latest state.
void boardSays(Board& board, const BoardDisplay& display, std::string_view kind, std::string line) {
    if (display.json != nullptr) {
        display.json->message(board.label, kind, line);
    }
    const bool hint = kind == "hint"; // what to do next: shown, not one of the run's messages
    if (!display.live && (!display.quiet || hint)) {
        std::fprintf(hint ? stderr : display.lines, "[%s] %s\n", board.label.c_str(), line.c_str());
        std::fflush(hint ? stderr : display.lines);
    }
    if (hint) {
        board.hints.push_back(std::move(line));
        return;
    }
    if (kind == "failure" && board.firstFailure.empty()) {
        board.firstFailure = line;
    }
    board.progress.state = line;
    board.messages.push_back(std::move(line));
}

void takeEvents(Board& board, const BoardDisplay& display, std::string_view bytes) {
    for (ChannelEvent& event : board.events.take(bytes)) {
        switch (event.kind) {
        case ChannelEvent::Kind::Stage:
            board.stage = std::move(event.text);
            break;
        case ChannelEvent::Kind::Progress:
            board.progress = {event.value, event.maximum, event.rate, event.text};
            if (display.json != nullptr) {
                display.json->progress(board.label, board.stage, event.value, event.maximum,
                                       event.rate, event.text);
            }
            break;
        case ChannelEvent::Kind::Message:
            boardSays(board, display, event.messageKind, std::move(event.text));
            break;
        case ChannelEvent::Kind::Wire:
            if (display.verbose) {
                std::fprintf(stderr, "[%s] %s\n", board.label.c_str(), event.text.c_str());
            }
            break;
        case ChannelEvent::Kind::End:
            board.record = std::move(event.record);
            board.reported = true;
            break;
        }
    }
}

// Lines the run printed itself (not through its channel): a failure to start,
// a refused command line. They are kept as its messages.
void takePrinted(Board& board, const BoardDisplay& display, std::string_view bytes) {
    const bool atEnd = bytes.empty();
    board.outputPending.append(bytes);
    std::size_t end;
    while ((end = board.outputPending.find('\n')) != std::string::npos ||
           (atEnd && !board.outputPending.empty())) {
        std::string line = board.outputPending.substr(0, end);
        board.outputPending.erase(0, end == std::string::npos ? end : end + 1);
        if (!line.empty() && line.back() == '\r') { // a Windows run's line end
            line.pop_back();
        }
        if (!line.empty()) {
            boardSays(board, display, "failure", std::move(line));
        }
    }
}

void endBoard(Board& board) {
    board.exitCode = board.process.wait();
    board.running = false;
    board.ended = BoardClock::now();
    board.endTime = isoTimeNow();
}

} // namespace

void takeArrival(Board& board, const Arrival& arrival, const BoardDisplay& display) {
    if (arrival.stream == BoardProcess::Stream::Channel) {
        takeEvents(board, display, arrival.bytes);
    } else {
        takePrinted(board, display, arrival.bytes);
    }
    if (arrival.bytes.empty() && --board.openStreams == 0) {
        endBoard(board);
    }
}

void followBoards(std::vector<Board>& boards, const BoardDisplay& display) {
    std::vector<Board*> started;
    std::vector<BoardProcess*> processes;
    for (Board& board : boards) {
        if (board.running) {
            board.openStreams = 2;
            started.push_back(&board);
            processes.push_back(&board.process);
        }
    }
    StreamWatch streams(processes);
    if (display.live) {
        drawLiveLines(boards, true);
    }
    auto lastDrawn = BoardClock::now();
    bool forwarded = false;
    while (streams.watching()) {
        if (const int signal = interruptSignal(); signal != 0 && !forwarded) {
            // The runs end their boards between two steps; wait for them.
            for (Board* board : started) {
                if (board->running) {
                    board->process.askToEnd(signal);
                }
            }
            forwarded = true;
        }
        for (const Arrival& arrival : streams.wait(redrawEvery)) {
            takeArrival(*started[arrival.process], arrival, display);
        }
        if (display.live && BoardClock::now() - lastDrawn > redrawEvery) {
            drawLiveLines(boards, false);
            lastDrawn = BoardClock::now();
        }
    }
    if (display.live) {
        drawLiveLines(boards, false);
    }
}

} // namespace velmora::cli
