#include "cli/terminal_operator.h"

#include "core/exchange.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <unistd.h>

namespace velmora::cli {

namespace {
constexpr std::string_view loadReminder =
    "Please check file name(upper-left corner) is correct or not!";
}

TerminalOperator::TerminalOperator(Timing timing, bool quiet)
    : timing(timing), quiet(quiet), progressOnTerminal(!quiet && isatty(STDERR_FILENO)) {}

bool TerminalOperator::isFailure(std::string_view text, Icon icon) {
    return icon != Icon::Information && text != loadReminder;
}

void TerminalOperator::showMessage(std::string_view text, Icon icon) {
    bool failure = isFailure(text, icon);
    if (quiet && !failure) {
        return;
    }
    if (progressLineOpen) { // a message never lands on the progress line
        std::fputs("\n", stderr);
        progressLineOpen = false;
    }
    std::FILE* stream = failure ? stderr : stdout;
    std::fprintf(stream, "%.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(stream);
}

void TerminalOperator::notify(std::string_view text, Notice kind) {
    const bool news = kind == Notice::Information;
    if (quiet && news) {
        return;
    }
    if (progressLineOpen) {
        std::fputs("\n", stderr);
        progressLineOpen = false;
    }
    std::FILE* stream = news ? stdout : stderr;
    std::fprintf(stream, "%.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(stream);
}

void TerminalOperator::drawProgress(const Exchange& exchange, double seconds, bool final) {
    std::string line = exchange.caption() + " " + exchange.statusText();
    long long maximum = exchange.progressMaximum();
    if (maximum > 0) {
        long long value = exchange.progressValue();
        constexpr int width = 30;
        const int filled = static_cast<int>(
            std::clamp(width * value / maximum, 0LL, static_cast<long long>(width)));
        line = exchange.caption();
        line.append(" [").append(filled, '#').append(width - filled, '.').append("] ");
        line.append(exchange.statusText()).append("  ").append(std::to_string(value));
        line.append("/").append(std::to_string(maximum)).append(" bytes");
        if (seconds > 0.05) {
            line += "  " + std::to_string(static_cast<long long>(value / seconds)) + " B/s";
        }
    }
    std::fprintf(stderr, "\r\033[K%s%s", line.c_str(), final ? "\n" : "");
    std::fflush(stderr);
    progressLineOpen = !final;
}

int TerminalOperator::runExchange(Exchange& exchange) {
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    auto lastDrawn = started - std::chrono::seconds(1);
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - started).count(); };
    if (exchange.start()) {
        bool running = true;
        while (running) {
            running = exchange.step();
            if (progressOnTerminal && Clock::now() - lastDrawn > std::chrono::milliseconds(100)) {
                drawProgress(exchange, elapsed(), false);
                lastDrawn = Clock::now();
            }
            if (running) {
                waitBeforeNextStep(exchange);
            }
        }
        if (progressOnTerminal) {
            drawProgress(exchange, elapsed(), true);
        }
    }
    return exchange.result();
}

void TerminalOperator::pause(int passes) {
    std::this_thread::sleep_for(timing.pass * passes);
}

} // namespace velmora::cli
