#include "serial/telnet_stream.h"

#include <algorithm>

namespace velmora::telnet {

void appendEscaped(std::vector<std::uint8_t>& out, const std::uint8_t* bytes, std::size_t count) {
    out.reserve(out.size() + count + count / 8);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == IAC) {
            out.push_back(IAC);
        }
    }
}

std::vector<std::uint8_t> negotiation(std::uint8_t verb, std::uint8_t option) {
    return {IAC, verb, option};
}

std::vector<std::uint8_t> subnegotiation(std::uint8_t option, std::uint8_t command,
                                         const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> out{IAC, SB, option, command};
    appendEscaped(out, payload.data(), payload.size());
    out.push_back(IAC);
    out.push_back(SE);
    return out;
}

Negotiator::Negotiator(std::vector<std::uint8_t> ours, std::vector<std::uint8_t> theirs)
    : ours_(std::move(ours)), theirs_(std::move(theirs)) {}

std::vector<std::uint8_t> Negotiator::ask(std::uint8_t verb, std::uint8_t option) {
    sides_[verb == WILL || verb == WONT][option].asked = true;
    return negotiation(verb, option);
}

std::vector<std::uint8_t> Negotiator::receive(std::uint8_t verb, std::uint8_t option) {
    const bool aboutUs = verb == DO || verb == DONT;
    const bool wantsOn = verb == DO || verb == WILL;
    const auto& allowed = aboutUs ? ours_ : theirs_;
    const bool supported = std::find(allowed.begin(), allowed.end(), option) != allowed.end();
    const std::uint8_t yes = aboutUs ? WILL : DO;
    const std::uint8_t no = aboutUs ? WONT : DONT;
    Side& side = sides_[aboutUs][option];
    const bool answersUs = side.asked;
    side.asked = false;
    if (!wantsOn) {
        const bool wasOn = side.enabled;
        side.enabled = false;
        return wasOn && !answersUs ? negotiation(no, option) : std::vector<std::uint8_t>{};
    }
    if (side.enabled && !answersUs) {
        return {};
    }
    side.enabled = supported;
    if (answersUs && supported) {
        return {};
    }
    return negotiation(supported ? yes : no, option);
}

bool Negotiator::enabled(std::uint8_t option, bool onOurSide) const {
    return sides_[onOurSide][option].enabled;
}

bool Negotiator::settled(std::uint8_t option, bool onOurSide) const {
    return !sides_[onOurSide][option].asked;
}

void Negotiator::reset() {
    for (auto& sides : sides_) {
        for (auto& side : sides) {
            side = {};
        }
    }
}

void Reader::feed(const std::uint8_t* bytes, std::size_t count, Sink& sink) {
    // Plain data is handed over in runs; a run ends before every command so
    // that the sink sees data and commands in the order they came.
    std::size_t runStart = 0;
    auto endRun = [&](std::size_t end) {
        if (end > runStart) {
            sink.data(bytes + runStart, end - runStart);
        }
    };
    for (std::size_t i = 0; i < count && state_ != State::Malformed; ++i) {
        std::uint8_t byte = bytes[i];
        const bool plain = state_ == State::Data && byte != IAC;
        switch (state_) {
        case State::Data:
            if (byte == IAC) {
                endRun(i);
                state_ = State::Command;
            }
            break;
        case State::Command:
            if (byte == IAC) { // a doubled 0xFF is one data byte
                sink.data(&bytes[i], 1);
                state_ = State::Data;
            } else if (byte == WILL || byte == WONT || byte == DO || byte == DONT) {
                verb_ = byte;
                state_ = State::Option;
            } else if (byte == SB) {
                body_.clear();
                state_ = State::Body;
            } else { // NOP, GA, a stray SE and the like carry nothing for us
                state_ = State::Data;
            }
            break;
        case State::Option:
            sink.negotiation(verb_, byte);
            state_ = State::Data;
            break;
        case State::Body:
            if (byte == IAC) {
                state_ = State::BodyCommand;
            } else if (body_.size() < maxBody) {
                body_.push_back(byte);
            } else {
                state_ = State::Malformed;
            }
            break;
        case State::BodyCommand:
            if (byte == IAC) {
                if (body_.size() < maxBody) {
                    body_.push_back(IAC);
                    state_ = State::Body;
                } else {
                    state_ = State::Malformed;
                }
            } else {
                // IAC SE ends the body; any other command there ends it too
                // (a broken server), and the body is taken as it stands.
                if (!body_.empty()) {
                    sink.subnegotiation(body_);
                }
                body_.clear();
                state_ = State::Data;
            }
            break;
        case State::Malformed:
            break;
        }
        if (!plain) {
            runStart = i + 1; // the next run starts after this command byte
        }
    }
    if (state_ != State::Malformed) { // a malformed stream's data ended at its IAC SB
        endRun(count);
    }
}

} // namespace velmora::telnet
