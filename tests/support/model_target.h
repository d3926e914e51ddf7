#pragma once

// A target played message by message on a model line, and the host's end of
// such a line on a virtual clock: the exchanges' tests run in-process, take
// no wall time whatever their time-outs, and run the same way every time.

#include "core/timing.h"
#include "sim/model_line.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora::testing {

using Bytes = std::vector<std::uint8_t>;

// Each step takes a number of bytes and answers them. Once the steps are done
// the target takes everything without answering, unless told to answer every
// further message of some length.
class ScriptedTarget final : public LineEnd {
public:
    using Answer = std::function<Bytes(const Bytes& message)>;

    ScriptedTarget& then(std::size_t count, std::initializer_list<std::uint8_t> answer) {
        return then(count, Bytes(answer));
    }
    ScriptedTarget& then(std::size_t count, Bytes answer) {
        return then(count, [answer = std::move(answer)](const Bytes&) { return answer; });
    }
    ScriptedTarget& then(std::size_t count, Answer answer) {
        steps.push_back({count, std::move(answer), false});
        return *this;
    }
    // Answers each of the next `count` bytes with itself.
    ScriptedTarget& echo(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            then(1, [](const Bytes& byte) { return byte; });
        }
        return *this;
    }
    // Sends `bytes` once the host has taken everything sent before them, as a
    // line's timing keeps an end marker apart from the echo before it.
    ScriptedTarget& thenAfterHostTook(Bytes bytes) {
        steps.push_back({0, [bytes = std::move(bytes)](const Bytes&) { return bytes; }, true});
        return *this;
    }
    // After the steps: every message of `count` bytes is answered.
    ScriptedTarget& always(std::size_t count, Answer answer) {
        repeated = {count, std::move(answer), false};
        return *this;
    }

    BoardResponse receive(std::uint8_t byte, const LineRates& rates, Clock::time_point) override {
        received.push_back(byte);
        receivedBauds.push_back(rates.front().baud);
        message.push_back(byte);
        Step* step = next < steps.size() ? &steps[next] : (repeated.answer ? &repeated : nullptr);
        if (step == nullptr || message.size() < step->count) {
            return {};
        }
        if (step != &repeated) {
            ++next;
        }
        BoardResponse response;
        for (std::uint8_t out : step->answer(message)) {
            response.outputs.push_back({out, false});
        }
        message.clear();
        // Steps of no bytes follow the answer before them at once.
        while (next < steps.size() && steps[next].count == 0) {
            for (std::uint8_t out : steps[next].answer({})) {
                response.outputs.push_back({out, steps[next].afterHostTook});
            }
            ++next;
        }
        return response;
    }

    // Every byte the target has received, in order, and the rate each came at.
    Bytes received;
    std::vector<int> receivedBauds;

private:
    struct Step {
        std::size_t count = 0;
        Answer answer;
        bool afterHostTook = false;
    };
    std::vector<Step> steps;
    std::size_t next = 0;
    Step repeated;
    Bytes message;
};

// The host's end of a model line on a virtual clock, open at 9600,n,8,1.
struct ModelLink {
    explicit ModelLink(LineEnd& farEnd, ModelLine::Options options = {})
        : line(farEnd, clock, options), transport(line.transport("/dev/ttyS0")),
          unopened(line.transport("/dev/ttyS1")) {
        transport->open(LineSettings{});
    }

    // Timing with the given lengths, read on this line's clock.
    Timing timing(Timing lengths = {}) {
        lengths.clock = &clock;
        return lengths;
    }
    Clock::duration elapsedSince(Clock::time_point start) const { return clock.now() - start; }

    VirtualClock clock;
    ModelLine line;
    std::unique_ptr<Transport> transport;
    // A transport that stays closed: every call on it is refused.
    std::unique_ptr<Transport> unopened;
};

} // namespace velmora::testing
