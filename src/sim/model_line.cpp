#include "sim/model_line.h"

#include <algorithm>
#include <optional>

namespace velmora {

namespace {

using TimePoint = Clock::time_point;

// How long an answer held back until the host has taken everything before it
// waits at most, as the simulated board on a pseudo-terminal does.
constexpr auto drainLimit = std::chrono::seconds(2);

struct Outgoing {
    TimePoint due;
    std::uint8_t byte = 0;
    bool afterHostDrained = false;
    bool dropLink = false;
    std::optional<TimePoint> headSince;
};

LineSetting settingOf(const LineSettings& settings) {
    return {settings.baud,
            settings.dataBits == 8 && settings.parity == 'n' && settings.stopBitsTenths == 10,
            false};
}

} // namespace

struct ModelLine::State {
    State(LineEnd& end, Clock& c, Options o) : farEnd(end), clock(c), options(o) {}

    LineEnd& farEnd;
    Clock& clock;
    Options options;

    const void* openBy = nullptr; // the transport that has the line open
    LineSettings settings;
    bool dtr = false;
    bool rts = false;
    int opens = 0;
    bool dropped = false;
    std::optional<TimePoint> dropDue;

    std::deque<Outgoing> outgoing;    // the far end's bytes on their way
    std::deque<std::uint8_t> arrived; // at the host's end, not yet taken
    TimePoint hostEmptySince{};       // when the host last had taken everything
    TimePoint hostLineFree{};         // paced: when the host's last byte has crossed
    TimePoint farLineFree{};          // paced: when the far end's last byte has crossed
    std::optional<TimePoint> expiryDone;

    Clock::duration byteTime() const {
        return options.pace ? Clock::duration(lineTime(1, settings)) : Clock::duration::zero();
    }

    void schedule(const BoardResponse& response, TimePoint at) {
        const TimePoint due = at + options.replyDelay;
        for (const BoardOutput& output : response.outputs) {
            TimePoint arrives = due;
            if (options.pace) {
                arrives = std::max(due, farLineFree) + byteTime();
                farLineFree = arrives;
            }
            outgoing.push_back({arrives, output.byte, output.afterHostDrained, false, {}});
        }
        if (response.dropLink) {
            outgoing.push_back({due, 0, false, true, {}});
        }
    }

    // The far end's own doings (a message cut short) up to `until`.
    void farEndUntil(TimePoint until) {
        for (;;) {
            const auto expiry = farEnd.expiryDeadline();
            if (!expiry || *expiry > until || expiry == expiryDone) {
                return;
            }
            expiryDone = expiry;
            schedule(farEnd.expire(*expiry), *expiry);
        }
    }

    // When the head of the far end's bytes reaches the host.
    TimePoint headDue(TimePoint now) {
        Outgoing& head = outgoing.front();
        if (!head.afterHostDrained) {
            return head.due;
        }
        if (!head.headSince) {
            head.headSince = std::max(now, head.due);
        }
        if (!arrived.empty()) {
            return *head.headSince + drainLimit;
        }
        // A byte time after the host took the last byte before it.
        return std::max(head.due, hostEmptySince + Clock::duration(lineTime(1, settings)));
    }

    std::optional<TimePoint> nextEvent(TimePoint now) {
        std::optional<TimePoint> next = dropDue;
        auto consider = [&next](TimePoint at) {
            if (!next || at < *next) {
                next = at;
            }
        };
        if (!outgoing.empty()) {
            consider(headDue(now));
        }
        if (auto expiry = farEnd.expiryDeadline(); expiry && expiry != expiryDone) {
            consider(*expiry);
        }
        return next;
    }

    void drop() {
        dropped = true;
        dropDue.reset();
        outgoing.clear();
        arrived.clear();
        farEnd.noteLinkDropped();
    }

    // Brings the line up to the clock: what the far end did and sent by now.
    void advance() {
        const TimePoint now = clock.now();
        while (!dropped) {
            farEndUntil(now);
            if (dropDue && *dropDue <= now) {
                drop();
                break;
            }
            if (outgoing.empty() || headDue(now) > now) {
                break;
            }
            Outgoing head = outgoing.front();
            outgoing.pop_front();
            if (head.dropLink) {
                drop();
                break;
            }
            farEnd.noteBytesSent(1);
            if (openBy != nullptr) {
                arrived.push_back(head.byte); // a closed port hears nothing
            }
        }
    }

    void hostSends(const std::uint8_t* bytes, std::size_t count) {
        const TimePoint now = clock.now();
        const LineRates rates{settingOf(settings)};
        for (std::size_t i = 0; i < count; ++i) {
            TimePoint arrival = now;
            if (options.pace) {
                arrival = std::max(now, hostLineFree) + byteTime();
                hostLineFree = arrival;
            }
            farEndUntil(arrival);
            schedule(farEnd.receive(bytes[i], rates, arrival), arrival);
        }
    }
};

namespace {

class ModelTransport final : public Transport {
public:
    ModelTransport(std::shared_ptr<ModelLine::State> state, std::string name)
        : line(std::move(state)), name_(std::move(name)) {}
    ~ModelTransport() override { close(); }

    const std::string& name() const override { return name_; }
    bool isOpen() const override { return line->openBy == this; }
    const LineSettings& settings() const override { return line->settings; }

    Status open(const LineSettings& settings) override {
        if (isOpen()) {
            return Status::refused(name_ + " is open already");
        }
        if (line->dropped) {
            return Status::refused("Cannot open " + name_ + ": No such file or directory");
        }
        if (line->openBy != nullptr) {
            return Status::refused(name_ + " is in use by another program");
        }
        line->openBy = this;
        line->settings = settings;
        ++line->opens;
        line->advance();
        // What arrived before we listened is no answer to us.
        line->arrived.clear();
        line->hostEmptySince = line->clock.now();
        return Status::done();
    }

    Status configure(const LineSettings& settings) override {
        if (Status status = usable(); !status.ok()) {
            return status;
        }
        line->settings = settings;
        return Status::done();
    }

    Status send(const std::uint8_t* bytes, std::size_t count, Deadline) override {
        if (Status status = usable(); !status.ok()) {
            return status;
        }
        line->hostSends(bytes, count);
        return Status::done();
    }

    Status waitForInput(Deadline deadline) override {
        for (;;) {
            if (Status status = usable(); !status.ok()) {
                return status;
            }
            if (!line->arrived.empty()) {
                return Status::done();
            }
            const auto next = line->nextEvent(line->clock.now());
            if (!next || *next > deadline) {
                line->clock.sleepUntil(deadline);
                if (Status status = usable(); !status.ok()) {
                    return status;
                }
                return line->arrived.empty() ? Status::timedOut(name_ + ": no input in time")
                                             : Status::done();
            }
            line->clock.sleepUntil(*next);
        }
    }

    std::size_t available() override { return usable().ok() ? line->arrived.size() : 0; }

    Status take(std::uint8_t* buffer, std::size_t limit, std::size_t& taken) override {
        taken = 0;
        if (Status status = usable(); !status.ok()) {
            return status;
        }
        auto& arrived = line->arrived;
        while (taken < limit && !arrived.empty()) {
            buffer[taken++] = arrived.front();
            arrived.pop_front();
        }
        if (arrived.empty()) {
            line->hostEmptySince = line->clock.now();
        }
        return Status::done();
    }

    Status drain(Deadline deadline) override {
        if (Status status = usable(); !status.ok()) {
            return status;
        }
        if (line->hostLineFree <= line->clock.now()) {
            return Status::done();
        }
        if (line->hostLineFree > deadline) {
            line->clock.sleepUntil(deadline);
            return Status::timedOut(name_ + ": output still on its way");
        }
        line->clock.sleepUntil(line->hostLineFree);
        return Status::done();
    }

    Status discardInput() override {
        if (Status status = usable(); !status.ok()) {
            return status;
        }
        line->arrived.clear();
        line->hostEmptySince = line->clock.now();
        return Status::done();
    }

    Status setModemLine(ModemLine which, bool raised) override {
        if (Status status = usable(); !status.ok()) {
            return status;
        }
        (which == ModemLine::DataTerminalReady ? line->dtr : line->rts) = raised;
        return Status::done();
    }

    void close() override {
        if (!isOpen()) {
            return;
        }
        if (!line->dropped) {
            line->clock.sleepUntil(line->hostLineFree); // what is queued leaves first
            line->advance();
        }
        line->arrived.clear();
        line->openBy = nullptr;
    }

private:
    // Done while the line is open and there; a dropped line closes the transport.
    Status usable() {
        if (!isOpen()) {
            return Status::refused(goneReason_.empty() ? name_ + " is not open" : goneReason_);
        }
        line->advance();
        if (line->dropped) {
            line->openBy = nullptr;
            goneReason_ = name_ + ": the device went away";
            return Status::gone(goneReason_);
        }
        return Status::done();
    }

    std::shared_ptr<ModelLine::State> line;
    std::string name_;
    std::string goneReason_;
};

} // namespace

ModelLine::ModelLine(LineEnd& farEnd, Clock& clock, Options options)
    : clock_(clock), state_(std::make_shared<State>(farEnd, clock, options)) {}

ModelLine::~ModelLine() = default;

std::unique_ptr<Transport> ModelLine::transport(std::string name) {
    return std::make_unique<ModelTransport>(state_, std::move(name));
}

void ModelLine::farEndSends(const std::vector<std::uint8_t>& bytes, Clock::time_point at) {
    BoardResponse response;
    for (std::uint8_t byte : bytes) {
        response.outputs.push_back({byte, false});
    }
    state_->schedule(response, at - state_->options.replyDelay);
}

bool ModelLine::runUntil(Clock::time_point limit, const std::function<bool()>& done) {
    for (;;) {
        state_->advance();
        if (done()) {
            return true;
        }
        const auto next = state_->nextEvent(clock_.now());
        if (!next || *next > limit || state_->dropped) {
            clock_.sleepUntil(limit);
            state_->advance();
            return done();
        }
        clock_.sleepUntil(*next);
    }
}

void ModelLine::dropAt(Clock::time_point at) {
    state_->dropDue = at;
}

bool ModelLine::dropped() const {
    state_->advance();
    return state_->dropped;
}

bool ModelLine::dataTerminalReady() const {
    return state_->dtr;
}

bool ModelLine::requestToSend() const {
    return state_->rts;
}

int ModelLine::opens() const {
    return state_->opens;
}

LineSettings ModelLine::hostSettings() const {
    return state_->openBy != nullptr ? state_->settings : LineSettings{};
}

} // namespace velmora
