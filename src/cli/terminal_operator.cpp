#include "cli/terminal_operator.h"

#include "cli/interrupts.h"
#include "cli/json_events.h"
#include "cli/output_style.h"
#include "cli/progress_channel.h"
#include "core/exchange.h"

#include <algorithm>
#include <chrono>
#include <string>

namespace velmora::cli {

namespace {
// The longest a pause sleeps before it looks for a signal again.
constexpr std::chrono::milliseconds pauseSlice{10};

long long bytesPerSecond(long long value, double seconds) {
    return seconds > 0.05 ? static_cast<long long>(value / seconds) : 0;
}

std::string progressText(const Exchange& exchange, double seconds) {
    const long long maximum = exchange.progressMaximum();
    const long long value = exchange.progressValue();
    if (maximum <= 0) {
        return exchange.caption() + " " + exchange.statusText();
    }
    constexpr int width = 30;
    const int filled =
        static_cast<int>(std::clamp(width * value / maximum, 0LL, static_cast<long long>(width)));
    std::string line = exchange.caption();
    line.append(" [").append(filled, '#').append(width - filled, '.').append("] ");
    line.append(exchange.statusText()).append("  ").append(std::to_string(value));
    line.append("/").append(std::to_string(maximum)).append(" bytes");
    if (long long rate = bytesPerSecond(value, seconds); rate > 0) {
        line += "  " + std::to_string(rate) + " B/s";
    }
    return line;
}
} // namespace

TerminalOperator::TerminalOperator(Timing runTiming, bool quietRun)
    : timing(runTiming), quiet(quietRun),
      look(quietRun || !isTerminal(stderr)    ? ProgressLook::None
           : terminalSequencesAllowed(stderr) ? ProgressLook::Redrawn
                                              : ProgressLook::Plain) {}

void TerminalOperator::reportTo(ProgressWriter* writer) {
    channel = writer;
    if (channel != nullptr) {
        look = ProgressLook::None;
    }
}

void TerminalOperator::eventsAsJson(JsonEvents* events, std::string port) {
    json = events;
    jsonPort = std::move(port);
}

bool TerminalOperator::isFailure(Icon icon) const {
    return icon != Icon::Information && !(followed != nullptr && followed->succeeded());
}

void TerminalOperator::hint(std::string_view text) {
    tell("hint", text);
}

void TerminalOperator::summary(std::string_view text) {
    if (channel == nullptr) { // among several boards the table at the end says it
        tell("news", text);
    }
}

void TerminalOperator::printLine(std::FILE* stream, std::string_view text) {
    bool& closed = stream == stdout ? stdoutClosed : stderrClosed;
    if (closed) {
        return;
    }
    if (progressLineOpen && !stderrClosed) { // a message never lands on the progress line
        std::fputs("\n", stderr);
        progressLineOpen = false;
    }
    std::fprintf(stream, "%.*s\n", static_cast<int>(text.size()), text.data());
    if (std::fflush(stream) != 0 || std::ferror(stream)) {
        closed = true; // nobody reads any more; the board's run goes on
    }
}

// A message of the run: to the parent, or printed (news on stdout unless the
// JSON lines have it) and as a JSON line.
void TerminalOperator::tell(std::string_view kind, std::string_view text) {
    if (channel != nullptr) {
        channel->message(kind, text);
        return;
    }
    const bool news = kind == "news";
    if (json != nullptr) {
        json->message(jsonPort, kind, text);
    }
    if (quiet && news) {
        return;
    }
    printLine(news && json == nullptr ? newsStream : stderr, text);
}

void TerminalOperator::showMessage(std::string_view text, Icon icon) {
    interrupted(); // a signal's end is told before what it caused
    tell(isFailure(icon) ? "failure" : "news", text);
}

void TerminalOperator::notify(std::string_view text, Notice kind) {
    if (!interruptTold) {
        interrupted();
    }
    tell(kind == Notice::Information ? "news"
         : kind == Notice::Warning   ? "warning"
                                     : "failure",
         text);
}

void TerminalOperator::wireLine(std::string_view line) {
    if (channel != nullptr) {
        channel->wire(line);
    } else {
        printLine(stderr, line);
    }
}

void TerminalOperator::drawProgress(const Exchange& exchange, double seconds, bool final) {
    const long long maximum = exchange.progressMaximum();
    const long long value = exchange.progressValue();
    const long long rate = bytesPerSecond(value, seconds);
    if (channel != nullptr) {
        channel->progress(value, maximum, rate, exchange.statusText());
        return;
    }
    if (json != nullptr) {
        json->progress(jsonPort, exchange.caption(), value, maximum, rate, exchange.statusText());
    }
    if (look != ProgressLook::None && !stderrClosed) {
        printProgressLine(progressText(exchange, seconds), final);
    }
}

void TerminalOperator::printProgressLine(const std::string& line, bool final) {
    if (look == ProgressLook::Redrawn) {
        std::fprintf(stderr, "\r\033[K%s%s", line.c_str(), final ? "\n" : "");
    } else {
        // No sequences: blanks cover what a longer line before left.
        const std::size_t cover = progressWidth > line.size() ? progressWidth - line.size() : 0;
        std::fprintf(stderr, "\r%s%s%s", line.c_str(), std::string(cover, ' ').c_str(),
                     final ? "\n" : "");
        progressWidth = final ? 0 : line.size();
    }
    if (std::fflush(stderr) != 0 || std::ferror(stderr)) {
        stderrClosed = true;
    }
    progressLineOpen = !final;
}

bool TerminalOperator::interrupted() {
    const int signal = interruptSignal();
    if (signal != 0 && !interruptTold) {
        interruptTold = true;
        self->notify("Stopped by " + signalName(signal) + ".", Notice::Failure);
    }
    return signal != 0;
}

int TerminalOperator::runExchange(Exchange& exchange) {
    using Clock = std::chrono::steady_clock;
    if (interrupted()) {
        return 2; // the run is ending: no new exchange with the board
    }
    const auto started = Clock::now();
    auto lastDrawn = started - std::chrono::seconds(1);
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - started).count(); };
    const bool showProgress = look != ProgressLook::None || channel != nullptr || json != nullptr;
    if (channel != nullptr) {
        channel->stage(exchange.caption());
    }
    if (exchange.start()) {
        bool running = true;
        while (running) {
            running = exchange.step();
            if (showProgress && Clock::now() - lastDrawn > std::chrono::milliseconds(100)) {
                drawProgress(exchange, elapsed(), false);
                lastDrawn = Clock::now();
            }
            if (running && interrupted()) {
                exchange.stop(); // releases its buffers and files, result 2
                break;
            }
            if (running) {
                waitBeforeNextStep(exchange);
            }
        }
        if (showProgress) {
            drawProgress(exchange, elapsed(), true);
        }
    }
    return exchange.result();
}

void TerminalOperator::pause(int passes) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(timing.pass * passes);
    while (left.count() > 0 && interruptSignal() == 0) {
        const auto slice = std::min<std::chrono::nanoseconds>(left, pauseSlice);
        timing.clock->sleepFor(slice);
        left -= slice;
    }
}

} // namespace velmora::cli
